#pragma once

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QTimer;

// The find field above the grid and its "not yet logged" box. It only
// collects what the user asks for; the grid's model filters on the server.
// Typing waits for a short pause before asking, so a fast typist does not
// start a query per key.
class FindBar : public QWidget
{
    Q_OBJECT

public:
    explicit FindBar(QWidget *parent = nullptr);

    QString text() const;
    bool notYetLogged() const;
    // Puts the cursor into the find field, its text selected (Ctrl+F).
    void focusFind();
    // Empties the field and the box without asking for a filter.
    void clear();

signals:
    void findChanged(const QString &text, bool notYetLogged);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void emitNow();

    QLineEdit *findEdit = nullptr;
    QCheckBox *notLoggedBox = nullptr;
    QTimer *pause = nullptr;
};
