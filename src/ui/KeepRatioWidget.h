#pragma once

#include <QFrame>

class QHBoxLayout;
class QLabel;

// Shows the 64 x 64 frame picture as large as the widget allows without distorting it, and reports the
// grid cell under a left press on the picture. The picture label sits in a square inner widget with a
// 2-pixel margin; the inner widget is centred and touches two opposite sides of this frame.
class KeepRatioWidget : public QFrame {
    Q_OBJECT

public:
    static constexpr int kGridSize = 64;
    static constexpr int kLabelMargin = 2;

    explicit KeepRatioWidget(QWidget *parent = nullptr);

    // The owner draws frames into this label (pixmap, scaled contents).
    QLabel *label() const { return m_label; }

signals:
    // Column x and row y (0 to 63) of the cell under a left press, as the picture is shown.
    void click_coor(int x, int y);

public slots:
    bool eventFilter(QObject *obj, QEvent *event) override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void fitInnerWidget(int width, int height);
    void reportPress(const QEvent *event);

    QWidget *m_inner = nullptr;
    QHBoxLayout *m_innerLayout = nullptr;
    QLabel *m_label = nullptr;
};
