#pragma once

#include <QObject>
#include <QStringList>

class QCompleter;
class QLineEdit;
class QStringListModel;
class QTextEdit;
class QWidget;

// Offers the values a field already holds in the project while the user
// types into it: any value that contains what is typed, in any case. A
// one-line field takes the toolkit's own completer; a multi-line one (the
// location, the shot type) gets the same popup while its text is one line.
//
// Keys: Down opens the list when values fit what the field holds (all of
// them while it is empty); Return picks from the open list. In a
// multi-line field Return with the list closed finishes the field, as it
// does in a one-line field, and a line break is Shift+Return: the two keys
// that pick a value must never type into it.
class FieldCompleter : public QObject
{
    Q_OBJECT

public:
    explicit FieldCompleter(QLineEdit *edit);
    explicit FieldCompleter(QTextEdit *edit);

    void setValues(const QStringList &values);
    QStringList values() const;
    // Shows the values that fit what the multi-line field holds now (call
    // when the user has typed).
    void typed();
    // Opens the list of the values that fit what the field holds; false
    // when none does.
    bool showList();
    QCompleter *completer() const { return popup; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    // The user picked a value; the field holds it now.
    void chosen();
    // Return in the multi-line field with the list closed: the user is
    // done with the field (save it, stay there).
    void finished();

private:
    void setUp(QWidget *edit);
    // Puts the list's current value (or its first) into the multi-line
    // field and closes the list.
    void pick();
    QString fieldText() const;

    QCompleter *popup = nullptr;
    QStringListModel *model = nullptr;
    QLineEdit *lineEdit = nullptr;
    QTextEdit *textEdit = nullptr;
};
