#include "shots/shotcelldelegate.h"

#include "shots/shotedits.h"
#include "shots/shottablemodel.h"

#include <QKeyEvent>
#include <QPainter>
#include <QLineEdit>
#include <QPlainTextEdit>

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
} // namespace

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
