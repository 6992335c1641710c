#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QTableView;
class ShotEdits;
class ShotHistoryModel;

// The changes of the current shot, newest first, from the shared history,
// with "Undo This Change" for the selected change's whole change set
// (anyone's). Without the history table it says how to enable it.
class HistoryPanel : public QWidget
{
    Q_OBJECT

public:
    HistoryPanel(ShotEdits *edits, QWidget *parent = nullptr);

    // Follows the shot the form shows (0: none).
    void showShot(qlonglong shot);
    void refresh();
    ShotHistoryModel *model() const { return history; }
    QTableView *view() const { return table; }
    QPushButton *undoButton() const { return undoChange; }

    // As wide as its columns: the panel opens showing every one of them.
    QSize sizeHint() const override;

private:
    void updateState();
    // The width a column of the view starts with, and is never sized past
    // by what it holds (the values' whole text is in their tooltips).
    int columnRoom(int column) const;
    void sizeColumns();

    ShotEdits *edits = nullptr;
    ShotHistoryModel *history = nullptr;
    QTableView *table = nullptr;
    QLabel *note = nullptr;
    QPushButton *undoChange = nullptr;
};
