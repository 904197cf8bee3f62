#include "FirstStartHint.h"

#include <QEvent>
#include <QSettings>

#include "AppSettings.h"

namespace {

constexpr int kMaxWidth = 280;
constexpr int kSideMargin = 12;

}  // namespace

bool FirstStartHint::settingStored() {
    QSettings settings(AppSettings::organisation, AppSettings::application);
    settings.beginGroup(AppSettings::group);
    const bool stored =
        settings.value("Integraltime", 0).toDouble() > 0.0 && settings.value("Integralcurrent", 0).toDouble() > 0.0;
    settings.endGroup();
    return stored;
}

FirstStartHint *FirstStartHint::install(QWidget *area) {
    auto *hint = new FirstStartHint(area);
    hint->setVisible(!settingStored());
    return hint;
}

void FirstStartHint::dismiss(QWidget *area) {
    if (auto *hint = area->findChild<FirstStartHint *>(QLatin1String(objectNameText), Qt::FindDirectChildrenOnly)) {
        hint->hide();
    }
}

FirstStartHint::FirstStartHint(QWidget *area) : QLabel(area) {
    setObjectName(QLatin1String(objectNameText));
    setText(tr("No current range is set yet.\nOpen Settings, choose a range and the voltages, then press Setting."));
    setWordWrap(true);
    setAlignment(Qt::AlignCenter);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setStyleSheet(QStringLiteral("QLabel#%1{color: white; background: rgba(74, 76, 86, 215); border-radius: 6px;"
                                 " padding: 8px; font-family: Arial; font-size: 10pt;}")
                      .arg(QLatin1String(objectNameText)));
    area->installEventFilter(this);
    place();
    raise();
}

bool FirstStartHint::eventFilter(QObject *watched, QEvent *event) {
    if (watched == parentWidget() && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest)) {
        place();
    }
    if (watched == parentWidget() && event->type() == QEvent::ChildAdded) {
        raise();  // stay above the picture when the area gets new children
    }
    return QLabel::eventFilter(watched, event);
}

// Centred over the area, as wide as the text needs up to kMaxWidth and never wider than the area.
void FirstStartHint::place() {
    const QWidget *area = parentWidget();
    const int width = qMax(0, qMin(kMaxWidth, area->width() - 2 * kSideMargin));
    const int height = qMin(heightForWidth(width) > 0 ? heightForWidth(width) : sizeHint().height(), area->height());
    setGeometry((area->width() - width) / 2, (area->height() - height) / 2, width, height);
}
