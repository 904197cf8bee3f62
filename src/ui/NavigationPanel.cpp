#include "NavigationPanel.h"

#include <array>

#include <QIcon>
#include <QListWidget>
#include <QStackedWidget>

namespace {

struct NavigationEntry {
    const char *text;
    const char *normalIcon;
    const char *selectedIcon;
};

constexpr std::array<NavigationEntry, 5> navigation{{
    {"System", ":/image/image_resource/control_1.png", ":/image/image_resource/control_2.png"},
    {"Settings", ":/image/image_resource/current_1.png", ":/image/image_resource/current_2.png"},
    {"Display", ":/image/image_resource/calibration_1.png", ":/image/image_resource/calibration_2.png"},
    {"Save", ":/image/image_resource/save_table.png", ":/image/image_resource/save_table_1.png"},
    {"About", ":/image/image_resource/about_1.png", ":/image/image_resource/about_2.png"},
}};

// The same picture in every mode: the style must not tint the selected row's white glyph.
QIcon navigationIcon(const char *path) {
    QIcon icon(QString::fromLatin1(path));
    icon.addFile(QString::fromLatin1(path), QSize(), QIcon::Selected);
    return icon;
}

}  // namespace

void NavigationPanel::install(QListWidget *list, QStackedWidget *pages) {
    for (const NavigationEntry &entry : navigation) {
        auto *item = new QListWidgetItem(navigationIcon(entry.normalIcon), QString::fromLatin1(entry.text));
        QFont font = item->font();
        font.setBold(true);
        item->setFont(font);
        list->addItem(item);
    }
    list->setFocusPolicy(Qt::NoFocus);
    list->setCurrentRow(0);
    pages->setCurrentIndex(0);
    list->currentItem()->setIcon(navigationIcon(navigation[0].selectedIcon));
    QObject::connect(list, &QListWidget::currentRowChanged, pages, &QStackedWidget::setCurrentIndex);
    QObject::connect(
        list, &QListWidget::itemSelectionChanged, list,
        [list] {
            for (int i = 0; i < list->count() && i < static_cast<int>(navigation.size()); ++i) {
                QListWidgetItem *item = list->item(i);
                const NavigationEntry &entry = navigation[static_cast<std::size_t>(i)];
                item->setIcon(navigationIcon(item->isSelected() ? entry.selectedIcon : entry.normalIcon));
            }
        },
        Qt::DirectConnection);
}
