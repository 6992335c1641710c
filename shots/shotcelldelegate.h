#pragma once

#include <QPixmap>
#include <QStyledItemDelegate>

#include <functional>

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
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Where the poster column's pictures come from (a null pixmap while a
    // poster is not there yet).
    void setPosterSource(const std::function<QPixmap(const QModelIndex &)> &source) { posterOf = source; }

private:
    std::function<QPixmap(const QModelIndex &)> posterOf;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
    bool eventFilter(QObject *object, QEvent *event) override;
};
