#pragma once

#include <QStyledItemDelegate>

// Edits the free-text columns of the grid in a multi-line editor, so that
// an in-place edit never flattens a value's line breaks. Return finishes
// the edit as in every other cell; Shift+Return starts a new line.
class MultiLineDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit MultiLineDelegate(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

protected:
    bool eventFilter(QObject *object, QEvent *event) override;
};
