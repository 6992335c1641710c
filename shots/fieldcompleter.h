#pragma once

#include <QObject>
#include <QStringList>

class QCompleter;
class QLineEdit;
class QStringListModel;
class QTextEdit;

// Offers the values a field already holds in the project while the user
// types into it: any value that contains what is typed, in any case. A
// one-line field takes the toolkit's own completer; a multi-line one (the
// location, the shot type) gets the same popup while its text is one line.
class FieldCompleter : public QObject
{
    Q_OBJECT

public:
    explicit FieldCompleter(QLineEdit *edit);
    explicit FieldCompleter(QTextEdit *edit);

    void setValues(const QStringList &values);
    // Shows the values that fit what the multi-line field holds now (call
    // when the user has typed).
    void typed();
    QCompleter *completer() const { return popup; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    // The user picked a value; the field holds it now.
    void chosen();

private:
    void setUp();

    QCompleter *popup = nullptr;
    QStringListModel *values = nullptr;
    QTextEdit *textEdit = nullptr;
};
