#pragma once

#include <QStyledItemDelegate>

// Paints and edits the grid's cells. A field with a draft is marked: typed
// or being saved, not saved, or in conflict. The free-text columns are
// edited in a multi-line editor, so that an in-place edit never flattens a
// value's line breaks (Return finishes the edit as in every other cell;
// Shift+Return starts a new line); one-line editors take no more characters
// than their column holds.
class ShotCellDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit ShotCellDelegate(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
    bool eventFilter(QObject *object, QEvent *event) override;
};
