#include "KeepRatioWidget.h"

#include <cmath>
#include <optional>

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QResizeEvent>

namespace {

// Cell of the grid under a point given in label coordinates. Points outside the label have no cell:
// a press can reach the label from outside its area while another button holds the mouse grab, and an
// out-of-range cell would select a pixel index beyond the frame.
std::optional<QPoint> cellAt(QPointF pos, QSize labelSize) {
    const double width = labelSize.width();
    const double height = labelSize.height();
    if (width <= 0 || height <= 0) {
        return std::nullopt;
    }
    if (pos.x() < 0 || pos.y() < 0 || pos.x() >= width || pos.y() >= height) {
        return std::nullopt;
    }
    const int x = static_cast<int>(std::floor(pos.x() / width * KeepRatioWidget::kGridSize));
    const int y = static_cast<int>(std::floor(pos.y() / height * KeepRatioWidget::kGridSize));
    // Rounding at the far edge could still give 64; keep the result inside the grid.
    const int last = KeepRatioWidget::kGridSize - 1;
    return QPoint(std::min(x, last), std::min(y, last));
}

}  // namespace

KeepRatioWidget::KeepRatioWidget(QWidget *parent) : QFrame(parent) {
    m_inner = new QWidget(this);
    m_innerLayout = new QHBoxLayout(m_inner);
    m_label = new QLabel(m_inner);
    m_innerLayout->addWidget(m_label);
    m_innerLayout->setContentsMargins(kLabelMargin, kLabelMargin, kLabelMargin, kLabelMargin);
    m_label->installEventFilter(this);
}

bool KeepRatioWidget::eventFilter(QObject *obj, QEvent *event) {
    if (obj == m_label && event->type() == QEvent::MouseButtonPress) {
        reportPress(event);
    }
    // The press still reaches the label.
    return QFrame::eventFilter(obj, event);
}

void KeepRatioWidget::resizeEvent(QResizeEvent *event) {
    // The frame draws nothing of its own, so the base handler has nothing to add.
    fitInnerWidget(event->size().width(), event->size().height());
}

void KeepRatioWidget::fitInnerWidget(int width, int height) {
    // The picture is square: the largest square that fits, centred.
    if (width < height) {
        m_inner->setGeometry(0, (height - width) / 2, width, width);
    } else {
        m_inner->setGeometry((width - height) / 2, 0, height, height);
    }
}

void KeepRatioWidget::reportPress(const QEvent *event) {
    const auto *mouse = static_cast<const QMouseEvent *>(event);
    if (mouse->button() != Qt::LeftButton) {
        return;
    }
    if (const std::optional<QPoint> cell = cellAt(mouse->position(), m_label->size())) {
        emit click_coor(cell->x(), cell->y());
    }
}
