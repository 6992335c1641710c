#pragma once

#include <QDialog>
#include <QStringList>

class QDialogButtonBox;
class QLabel;
class QListWidget;
class QPushButton;

// Shots > Tags...: a project's quick tags, renamed in place, added, removed
// and ordered; the first nine get the keys Alt+1 ... Alt+9 in this order.
// OK stays off while the list has a problem, which the dialog names.
class TagsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TagsDialog(const QStringList &tags, QWidget *parent = nullptr);

    QStringList tags() const;

private:
    void check();
    void move(int by);

    QListWidget *list = nullptr;
    QPushButton *addButton = nullptr;
    QPushButton *removeButton = nullptr;
    QPushButton *upButton = nullptr;
    QPushButton *downButton = nullptr;
    QLabel *problem = nullptr;
    QDialogButtonBox *buttons = nullptr;
};
