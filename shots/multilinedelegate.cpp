#include "shots/multilinedelegate.h"

#include <QKeyEvent>
#include <QPlainTextEdit>

MultiLineDelegate::MultiLineDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QWidget *MultiLineDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                         const QModelIndex &) const
{
    auto *editor = new QPlainTextEdit(parent);
    editor->setTabChangesFocus(true);
    editor->setFrameShape(QFrame::Box);
    return editor;
}

void MultiLineDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *edit = static_cast<QPlainTextEdit *>(editor);
    edit->setPlainText(index.data(Qt::EditRole).toString());
    edit->moveCursor(QTextCursor::End);
}

void MultiLineDelegate::setModelData(QWidget *editor, QAbstractItemModel *model,
                                     const QModelIndex &index) const
{
    model->setData(index, static_cast<QPlainTextEdit *>(editor)->toPlainText(), Qt::EditRole);
}

void MultiLineDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                             const QModelIndex &) const
{
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

bool MultiLineDelegate::eventFilter(QObject *object, QEvent *event)
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
