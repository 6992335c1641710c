#include "shots/fieldcompleter.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStringListModel>
#include <QTextEdit>

FieldCompleter::FieldCompleter(QLineEdit *edit)
    : QObject(edit)
    , lineEdit(edit)
{
    setUp(edit);
    edit->setCompleter(popup);
    connect(popup, qOverload<const QString &>(&QCompleter::activated), this, &FieldCompleter::chosen);
}

FieldCompleter::FieldCompleter(QTextEdit *edit)
    : QObject(edit)
    , textEdit(edit)
{
    setUp(edit);
    popup->setWidget(edit);
    // The completer hands each key to the field first, and a multi-line
    // field takes Return as a line break: Return in the list is caught here
    // (a filter installed after the completer's runs before it).
    popup->popup()->installEventFilter(this);
    // Picked with the mouse.
    connect(popup, qOverload<const QString &>(&QCompleter::activated), this, [this](const QString &value) {
        textEdit->setPlainText(value);
        textEdit->moveCursor(QTextCursor::End);
        emit chosen();
    });
}

void FieldCompleter::setUp(QWidget *edit)
{
    model = new QStringListModel(this);
    popup = new QCompleter(model, this);
    popup->setCaseSensitivity(Qt::CaseInsensitive);
    popup->setFilterMode(Qt::MatchContains);
    popup->setCompletionMode(QCompleter::PopupCompletion);
    popup->setMaxVisibleItems(8);
    // Installed after the form's own filter, so it sees the keys first.
    edit->installEventFilter(this);
}

bool FieldCompleter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    const bool listOpen = popup->popup()->isVisible();
    if (textEdit && watched == popup->popup()) {
        if (enter) {
            pick();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
    if (watched != lineEdit && watched != textEdit)
        return QObject::eventFilter(watched, event);
    if (key->key() == Qt::Key_Down && modifiers == Qt::NoModifier && !listOpen)
        return showList(); // no value fits: Down moves the cursor as ever
    if (!textEdit || !enter)
        return QObject::eventFilter(watched, event);
    if (modifiers == Qt::NoModifier) {
        if (listOpen)
            pick();
        else
            emit finished();
        return true;
    }
    if (modifiers == Qt::ShiftModifier) {
        QTextCursor cursor = textEdit->textCursor();
        cursor.insertText(QStringLiteral("\n"));
        textEdit->setTextCursor(cursor);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void FieldCompleter::pick()
{
    QModelIndex chosenIndex = popup->popup()->currentIndex();
    if (!chosenIndex.isValid())
        chosenIndex = popup->completionModel()->index(0, 0);
    popup->popup()->hide();
    if (!chosenIndex.isValid())
        return;
    textEdit->setPlainText(chosenIndex.data().toString());
    textEdit->moveCursor(QTextCursor::End);
    emit chosen();
}

void FieldCompleter::setValues(const QStringList &list)
{
    if (list != model->stringList())
        model->setStringList(list);
}

QStringList FieldCompleter::values() const
{
    return model->stringList();
}

QString FieldCompleter::fieldText() const
{
    return textEdit ? textEdit->toPlainText() : lineEdit->text();
}

bool FieldCompleter::showList()
{
    const QString text = fieldText();
    // Several lines are a description of their own, not a value to pick.
    if (text.contains(QLatin1Char('\n')))
        return false;
    popup->setCompletionPrefix(text);
    if (popup->completionCount() == 0)
        return false;
    if (!textEdit) {
        popup->complete();
        return true;
    }
    QRect at = textEdit->cursorRect();
    at.setWidth(qMax(200, textEdit->width() / 2));
    popup->complete(at);
    return true;
}

void FieldCompleter::typed()
{
    if (!textEdit || !textEdit->hasFocus())
        return;
    const QString text = textEdit->toPlainText();
    if (text.isEmpty() || text.contains(QLatin1Char('\n'))) {
        popup->popup()->hide();
        return;
    }
    popup->setCompletionPrefix(text);
    if (popup->completionCount() == 0
        || (popup->completionCount() == 1 && popup->currentCompletion().compare(text, Qt::CaseInsensitive) == 0)) {
        popup->popup()->hide();
        return;
    }
    showList();
}
