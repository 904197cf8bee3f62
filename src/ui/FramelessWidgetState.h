#pragma once

#include <memory>

#include <QPoint>
#include <QPointer>
#include <QRubberBand>
#include <QWidget>

#include "EdgeHitTest.h"

class QEvent;
class QHoverEvent;
class QMouseEvent;
struct FramelessHelperState;

// Moves and resizes one frameless top-level widget from the mouse and hover events its helper filters out.
class FramelessWidgetState {
public:
    FramelessWidgetState(const FramelessHelperState *options, QWidget *widget);

    FramelessWidgetState(const FramelessWidgetState &) = delete;
    FramelessWidgetState &operator=(const FramelessWidgetState &) = delete;

    // Creates the outline when either rubber-band option is on, drops it when both are off.
    void updateRubberBand();
    void handleEvent(QEvent *event);
    void stopWatching(QObject *filter);
    // Gives the widget back the flags it had at attach and turns off the tracking the helper needed.
    void restoreWidget();

private:
    void handlePress(const QMouseEvent *event);
    void handleRelease(const QMouseEvent *event);
    void handleDoubleClick(const QMouseEvent *event);
    void handleMouseMove(const QMouseEvent *event);
    void handleLeave();
    void handleHoverMove(const QHoverEvent *event);

    bool inTitleArea(const QPoint &local) const;
    void dragTo(const QPoint &global);
    void resizeTo(const QPoint &global);
    void updateCursor(const QPoint &global);

    const FramelessHelperState *m_options = nullptr;
    std::unique_ptr<QRubberBand> m_rubberBand;
    // Guarded: the widget may be destroyed before the helper that watches it.
    QPointer<QWidget> m_widget;
    QPoint m_dragOffset;
    EdgeHitTest m_pressedZones;
    EdgeHitTest m_hoverZones;
    bool m_leftButtonDown = false;
    bool m_cursorChanged = false;
    bool m_titlePressed = false;
    Qt::WindowFlags m_savedWindowFlags;
};
