#include "shots/fieldcompleter.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QLineEdit>
#include <QStringListModel>
#include <QTextEdit>
#include <QKeyEvent>

FieldCompleter::FieldCompleter(QLineEdit *edit)
    : QObject(edit)
{
    setUp();
    edit->setCompleter(popup);
    connect(popup, qOverload<const QString &>(&QCompleter::activated), this, &FieldCompleter::chosen);
}

FieldCompleter::FieldCompleter(QTextEdit *edit)
    : QObject(edit)
    , textEdit(edit)
{
    setUp();
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

bool FieldCompleter::eventFilter(QObject *watched, QEvent *event)
{
    if (textEdit && watched == popup->popup() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            QModelIndex chosenIndex = popup->popup()->currentIndex();
            if (!chosenIndex.isValid())
                chosenIndex = popup->completionModel()->index(0, 0);
            popup->popup()->hide();
            if (chosenIndex.isValid()) {
                textEdit->setPlainText(chosenIndex.data().toString());
                textEdit->moveCursor(QTextCursor::End);
                emit chosen();
            }
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void FieldCompleter::setUp()
{
    values = new QStringListModel(this);
    popup = new QCompleter(values, this);
    popup->setCaseSensitivity(Qt::CaseInsensitive);
    popup->setFilterMode(Qt::MatchContains);
    popup->setCompletionMode(QCompleter::PopupCompletion);
    popup->setMaxVisibleItems(8);
}

void FieldCompleter::setValues(const QStringList &list)
{
    values->setStringList(list);
}

void FieldCompleter::typed()
{
    if (!textEdit || !textEdit->hasFocus())
        return;
    const QString text = textEdit->toPlainText();
    // Several lines are a description of their own, not a value to pick.
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
    QRect at = textEdit->cursorRect();
    at.setWidth(qMax(200, textEdit->width() / 2));
    popup->complete(at);
}
