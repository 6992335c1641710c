#pragma once

#include <QPixmap>
#include <QStyledItemDelegate>

#include <functional>

class QFontMetrics;

// Paints and edits the grid's cells. A field with a draft is marked: typed
// or being saved, not saved, or in conflict. The free-text columns are
// edited in a multi-line editor, so that an in-place edit never flattens a
// value's line breaks (Return finishes the edit as in every other cell;
// Shift+Return starts a new line); one-line editors take no more characters
// than their column holds. A clip's path too long for its cell keeps the
// clip's file name: the folders between go first ("raw/Day1/…/00007.MTS"),
// the whole path is in the tooltip.
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
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

    // The text the cell shows in option.rect, as painted (elided where it
    // does not fit).
    QString cellText(const QStyleOptionViewItem &option, const QModelIndex &index) const;

    // A path of "/"-separated folders shortened to width pixels: folders
    // next to the file name go first, one "…" standing for all dropped
    // ("raw/Day1/…/00007.MTS", then "raw/…/00007.MTS", "…/00007.MTS");
    // when even that is too wide, the path elided in its middle.
    static QString elidePath(const QString &path, const QFontMetrics &metrics, int width);

    // Where the poster column's pictures come from (a null pixmap while a
    // poster is not there yet).
    void setPosterSource(const std::function<QPixmap(const QModelIndex &)> &source) { posterOf = source; }

private:
    std::function<QPixmap(const QModelIndex &)> posterOf;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
    bool eventFilter(QObject *object, QEvent *event) override;
};
