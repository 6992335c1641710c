#pragma once

#include <QFrame>

class QLabel;
class QPushButton;

// A line inside the window that states a problem the user can settle, with
// the two ways to settle it as buttons. Used instead of a message box, so
// that several problems never stack up as a row of modal boxes.
class NoticeBar : public QFrame
{
    Q_OBJECT

public:
    NoticeBar(const QString &firstCaption, const QString &secondCaption, QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const;
    QPushButton *firstButton() const { return first; }
    QPushButton *secondButton() const { return second; }

signals:
    void firstChosen();
    void secondChosen();

private:
    QLabel *label = nullptr;
    QPushButton *first = nullptr;
    QPushButton *second = nullptr;
};
