#pragma once

#include <memory>

#include <QObject>

class QEvent;
class QWidget;
struct FramelessHelperState;

// Gives frameless top-level widgets back what the system frame did: dragging by the title area, resizing from thin
// edge zones with matching cursors, and maximise/restore on a double click in the title area. It filters the
// mouse and hover events of every attached widget, which then never sees them itself.
class FramelessHelper : public QObject {
    Q_OBJECT

public:
    explicit FramelessHelper(QObject *parent = nullptr);
    ~FramelessHelper() override;

    // Attaching the same widget again does nothing; the window flags saved by the first attach are restored when
    // the helper is destroyed.
    void attach(QWidget *widget);

    // Shared by every helper: presses and double clicks above this height (widget coordinates) are in the title area.
    static void setTitleBarHeight(int height);
    static int titleBarHeight();
    // Shared by every helper: each resize zone reaches this many pixels plus one in from the frame's edge.
    static void setResizeBorder(int width);
    static int resizeBorder();

    void setMoveEnabled(bool enabled);
    bool moveEnabled() const;
    void setResizeEnabled(bool enabled);
    bool resizeEnabled() const;
    // With a rubber band on, an outline follows the pointer and the widget jumps to it on release.
    void setMoveRubberBand(bool enabled);
    bool moveRubberBand() const;
    void setResizeRubberBand(bool enabled);
    bool resizeRubberBand() const;

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateRubberBands();

    std::unique_ptr<FramelessHelperState> m_state;
};
