#include "FramelessWidgetState.h"

#include <cmath>

#include <QEvent>
#include <QHoverEvent>
#include <QMouseEvent>

#include "FramelessHelperState.h"

namespace {

// Halves round away from zero, so a pointer at x.5 lands on the same pixel whichever side of zero it is.
QPoint rounded(const QPointF &point) {
    return {static_cast<int>(std::lround(point.x())), static_cast<int>(std::lround(point.y()))};
}

Qt::CursorShape cursorFor(const EdgeHitTest &zones) {
    if (zones.topLeft || zones.bottomRight) {
        return Qt::SizeFDiagCursor;
    }
    if (zones.topRight || zones.bottomLeft) {
        return Qt::SizeBDiagCursor;
    }
    if (zones.left || zones.right) {
        return Qt::SizeHorCursor;
    }
    return Qt::SizeVerCursor;
}

}  // namespace

FramelessWidgetState::FramelessWidgetState(const FramelessHelperState *options, QWidget *widget)
    : m_options(options), m_widget(widget), m_savedWindowFlags(widget->windowFlags()) {}

void FramelessWidgetState::updateRubberBand() {
    const bool wanted = m_options->moveRubberBand || m_options->resizeRubberBand;
    if (wanted && !m_rubberBand) {
        m_rubberBand = std::make_unique<QRubberBand>(QRubberBand::Rectangle);
    } else if (!wanted) {
        m_rubberBand.reset();
    }
}

void FramelessWidgetState::handleEvent(QEvent *event) {
    if (!m_widget) {
        return;
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            handlePress(static_cast<QMouseEvent *>(event));
            break;
        case QEvent::MouseButtonRelease:
            handleRelease(static_cast<QMouseEvent *>(event));
            break;
        case QEvent::MouseButtonDblClick:
            handleDoubleClick(static_cast<QMouseEvent *>(event));
            break;
        case QEvent::MouseMove:
            handleMouseMove(static_cast<QMouseEvent *>(event));
            break;
        case QEvent::Leave:
            handleLeave();
            break;
        case QEvent::HoverMove:
            handleHoverMove(static_cast<QHoverEvent *>(event));
            break;
        default:
            break;
    }
}

void FramelessWidgetState::stopWatching(QObject *filter) {
    if (m_widget) {
        m_widget->removeEventFilter(filter);
    }
}

void FramelessWidgetState::restoreWidget() {
    if (!m_widget) {
        return;
    }
    m_widget->setAttribute(Qt::WA_MouseTracking, false);
    m_widget->setWindowFlags(m_savedWindowFlags);
    m_widget->setAttribute(Qt::WA_Hover, false);
}

void FramelessWidgetState::handlePress(const QMouseEvent *event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_leftButtonDown = true;
    m_titlePressed = inTitleArea(rounded(event->position()));

    const QRect frame = m_widget->frameGeometry();
    const QPoint global = rounded(event->globalPosition());
    m_pressedZones = EdgeHitTest::at(global, frame, FramelessHelperState::borderWidth);
    m_dragOffset = global - frame.topLeft();

    const bool outlineWanted = m_pressedZones.onEdge ? m_options->resizeRubberBand : m_options->moveRubberBand;
    if (outlineWanted && m_rubberBand) {
        m_rubberBand->setGeometry(frame);
        m_rubberBand->show();
    }
}

void FramelessWidgetState::handleRelease(const QMouseEvent *event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_leftButtonDown = false;
    m_pressedZones = {};
    m_titlePressed = false;
    if (m_rubberBand && m_rubberBand->isVisible()) {
        m_rubberBand->hide();
        m_widget->setGeometry(m_rubberBand->geometry());
    }
}

void FramelessWidgetState::handleDoubleClick(const QMouseEvent *event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_titlePressed = inTitleArea(rounded(event->position()));
    if (!m_titlePressed) {
        return;
    }
    if (m_widget->isMaximized()) {
        m_widget->showNormal();
    } else {
        m_widget->showMaximized();
    }
}

void FramelessWidgetState::handleMouseMove(const QMouseEvent *event) {
    const QPoint global = rounded(event->globalPosition());
    if (!m_leftButtonDown) {
        if (m_options->resizeEnabled) {
            updateCursor(global);
        }
        return;
    }
    if (m_options->resizeEnabled && m_pressedZones.onEdge) {
        resizeTo(global);
    } else if (m_options->moveEnabled && m_titlePressed) {
        dragTo(global);
    }
}

void FramelessWidgetState::handleLeave() {
    if (!m_leftButtonDown) {
        m_widget->unsetCursor();
    }
}

void FramelessWidgetState::handleHoverMove(const QHoverEvent *event) {
    if (m_options->resizeEnabled) {
        updateCursor(m_widget->mapToGlobal(rounded(event->position())));
    }
}

bool FramelessWidgetState::inTitleArea(const QPoint &local) const {
    return local.y() < FramelessHelperState::titleBarHeight;
}

void FramelessWidgetState::dragTo(const QPoint &global) {
    const QPoint topLeft = global - m_dragOffset;
    if (m_options->moveRubberBand && m_rubberBand) {
        m_rubberBand->move(topLeft);
    } else {
        m_widget->move(topLeft);
    }
}

void FramelessWidgetState::resizeTo(const QPoint &global) {
    const bool outline = m_options->resizeRubberBand && m_rubberBand;
    // The outline is a bare rectangle: its geometry is all there is, and a platform that gave it a frame anyway
    // must not make it grow by that frame on every move.
    const QRect start = outline ? m_rubberBand->geometry() : m_widget->frameGeometry();
    int left = start.left();
    int top = start.top();
    int right = start.right();
    int bottom = start.bottom();

    const EdgeHitTest &zones = m_pressedZones;
    if (zones.topLeft) {
        left = global.x();
        top = global.y();
    } else if (zones.bottomLeft) {
        left = global.x();
        bottom = global.y();
    } else if (zones.topRight) {
        right = global.x();
        top = global.y();
    } else if (zones.bottomRight) {
        right = global.x();
        bottom = global.y();
    } else if (zones.left) {
        left = global.x();
    } else if (zones.right) {
        right = global.x();
    } else if (zones.top) {
        top = global.y();
    } else if (zones.bottom) {
        bottom = global.y();
    }

    if (right < left || bottom < top) {
        return;
    }
    // Below the minimum size the edge being dragged stays put instead of the opposite edge being pushed out.
    if (right - left + 1 < m_widget->minimumWidth()) {
        if (left == start.left()) {
            right = start.right();
        } else {
            left = start.left();
        }
    }
    if (bottom - top + 1 < m_widget->minimumHeight()) {
        if (top == start.top()) {
            bottom = start.bottom();
        } else {
            top = start.top();
        }
    }

    const QRect result(QPoint(left, top), QPoint(right, bottom));
    if (outline) {
        m_rubberBand->setGeometry(result);
    } else {
        m_widget->setGeometry(result);
    }
}

void FramelessWidgetState::updateCursor(const QPoint &global) {
    if (m_widget->isFullScreen() || m_widget->isMaximized()) {
        if (m_cursorChanged) {
            m_widget->unsetCursor();
        }
        return;
    }
    m_hoverZones = EdgeHitTest::at(global, m_widget->frameGeometry(), FramelessHelperState::borderWidth);
    if (m_hoverZones.onEdge) {
        m_widget->setCursor(cursorFor(m_hoverZones));
        m_cursorChanged = true;
    } else if (m_cursorChanged) {
        m_widget->unsetCursor();
        m_cursorChanged = false;
    }
}
