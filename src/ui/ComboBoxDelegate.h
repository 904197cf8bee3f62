#pragma once

#include <QItemDelegate>

// Gives every row of a combo box's drop-down list the same fixed height, whatever its text or font.
class ComboBoxDelegate : public QItemDelegate {
    Q_OBJECT

public:
    static constexpr int kRowHeight = 20;

    explicit ComboBoxDelegate(QObject *parent = nullptr);

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
