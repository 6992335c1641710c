#include "shots/shotcelldelegate.h"

#include "shots/shotcolumns.h"
#include "shots/shotedits.h"
#include "shots/shottablemodel.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStyle>
#include <QToolTip>

namespace {
const ShotTableModel *shotModel(const QModelIndex &index)
{
    return qobject_cast<const ShotTableModel *>(index.model());
}

bool isMultiLine(const QModelIndex &index)
{
    const ShotTableModel *model = shotModel(index);
    return model && model->isPlainTextColumn(index.column());
}

bool isPath(const QModelIndex &index)
{
    const ShotTableModel *model = shotModel(index);
    const ShotColumns::Column *column = model ? ShotColumns::find(model->columnName(index.column())) : nullptr;
    return column && column->kind == ShotColumns::Kind::Path;
}

// The width the style gives a cell's text: its text rectangle less the
// margins it draws the text within.
int textWidth(const QStyleOptionViewItem &option)
{
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : nullptr;
    if (!style)
        return option.rect.width();
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &option, widget);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    return qMax(0, text.width() - 2 * margin);
}
} // namespace

QString ShotCellDelegate::elidePath(const QString &path, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(path) <= width)
        return path;
    const QString ellipsis(QChar(0x2026));
    QStringList kept = path.split(QLatin1Char('/'));
    const QString file = kept.takeLast();
    // The folders nearest the file go first: "raw/Day1/CardA/00007.MTS"
    // reads "raw/Day1/…/00007.MTS", then "raw/…/00007.MTS".
    while (!kept.isEmpty()) {
        kept.removeLast();
        const QString shorter = QStringList(kept + QStringList{ellipsis, file}).join(QLatin1Char('/'));
        if (metrics.horizontalAdvance(shorter) <= width)
            return shorter;
    }
    return metrics.elidedText(path, Qt::ElideMiddle, width);
}

QString ShotCellDelegate::cellText(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem shown = option;
    initStyleOption(&shown, index);
    if (!(shown.features & QStyleOptionViewItem::HasDisplay))
        return QString();
    const QFontMetrics metrics(shown.font);
    const int width = textWidth(shown);
    // What the style does with a text too wide for its cell.
    if (metrics.horizontalAdvance(shown.text) <= width)
        return shown.text;
    return metrics.elidedText(shown.text, shown.textElideMode, width);
}

bool ShotCellDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                                 const QModelIndex &index)
{
    // A cell that shows its text shortened has the whole of it in the
    // tooltip, unless the model says something else there.
    if (event && view && index.isValid() && event->type() == QEvent::ToolTip
        && !index.data(Qt::ToolTipRole).isValid()) {
        const QString whole = index.data(Qt::DisplayRole).toString();
        if (!whole.isEmpty() && cellText(option, index) != whole) {
            QToolTip::showText(event->globalPos(), whole, view->viewport(), option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

ShotCellDelegate::ShotCellDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QWidget *ShotCellDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                        const QModelIndex &index) const
{
    if (isMultiLine(index)) {
        auto *editor = new QPlainTextEdit(parent);
        editor->setTabChangesFocus(true);
        editor->setFrameShape(QFrame::Box);
        return editor;
    }
    QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
    const ShotTableModel *model = shotModel(index);
    if (auto *line = qobject_cast<QLineEdit *>(editor); line && model && model->columnLimit(index.column()) > 0)
        line->setMaxLength(model->columnLimit(index.column()));
    return editor;
}

void ShotCellDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    if (auto *edit = qobject_cast<QPlainTextEdit *>(editor)) {
        edit->setPlainText(index.data(Qt::EditRole).toString());
        edit->moveCursor(QTextCursor::End);
        return;
    }
    QStyledItemDelegate::setEditorData(editor, index);
}

void ShotCellDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    if (auto *edit = qobject_cast<QPlainTextEdit *>(editor)) {
        model->setData(index, edit->toPlainText(), Qt::EditRole);
        return;
    }
    QStyledItemDelegate::setModelData(editor, model, index);
}

void ShotCellDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                            const QModelIndex &index) const
{
    if (!qobject_cast<QPlainTextEdit *>(editor)) {
        QStyledItemDelegate::updateEditorGeometry(editor, option, index);
        return;
    }
    // Room for a few lines below the cell, within the view.
    QRect rect = option.rect;
    const int lines = 4;
    rect.setHeight(qMax(rect.height(), editor->fontMetrics().lineSpacing() * lines + 8));
    rect.setWidth(qMax(rect.width(), 240));
    if (QWidget *area = editor->parentWidget()) {
        if (rect.bottom() > area->height())
            rect.moveBottom(qMax(rect.height() - 1, area->height() - 1));
        if (rect.right() > area->width())
            rect.moveRight(qMax(rect.width() - 1, area->width() - 1));
    }
    editor->setGeometry(rect);
}

void ShotCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const ShotTableModel *model = shotModel(index);
    if (!posterOf || !model || model->columnName(index.column()) != QLatin1String("poster")) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyledItemDelegate::paint(painter, option, index); // background and selection
    const QPixmap poster = posterOf(index);
    if (poster.isNull())
        return;
    const QSize size = poster.size().scaled(option.rect.size() - QSize(4, 4), Qt::KeepAspectRatio);
    QRect target(QPoint(0, 0), size);
    target.moveCenter(option.rect.center());
    painter->drawPixmap(target, poster);
}

void ShotCellDelegate::initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    switch (ShotEdits::State(index.data(ShotTableModel::DraftStateRole).toInt())) {
    case ShotEdits::State::Typing:
        option->backgroundBrush = QColor(0xff, 0xf6, 0xcc);
        break;
    case ShotEdits::State::Saving:
        option->backgroundBrush = QColor(0xff, 0xf6, 0xcc);
        option->font.setItalic(true);
        break;
    case ShotEdits::State::Unsaved:
        option->backgroundBrush = QColor(0xff, 0xd7, 0xd0);
        break;
    case ShotEdits::State::Conflict:
        option->backgroundBrush = QColor(0xff, 0xe0, 0xa0);
        break;
    }
    // A clip's path keeps its file name; the style would cut it off at the
    // right. (No rectangle yet: a size is being asked for, of the whole.)
    if (isPath(index) && option->rect.width() > 0 && (option->features & QStyleOptionViewItem::HasDisplay)) {
        option->text = elidePath(option->text, QFontMetrics(option->font), textWidth(*option));
        option->textElideMode = Qt::ElideMiddle;
    }
}

bool ShotCellDelegate::eventFilter(QObject *object, QEvent *event)
{
    auto *editor = qobject_cast<QPlainTextEdit *>(object);
    if (editor && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier) {
                editor->insertPlainText(QStringLiteral("\n"));
                return true;
            }
            emit commitData(editor);
            emit closeEditor(editor, QAbstractItemDelegate::NoHint);
            return true;
        }
    }
    return QStyledItemDelegate::eventFilter(object, event);
}
