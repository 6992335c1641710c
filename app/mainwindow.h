#pragma once

#include <QList>
#include <QMainWindow>

class DbWorker;
class FindBar;
class GridWidget;
class HistoryPanel;
class QAction;
class QDockWidget;
class QLabel;
class QPushButton;
class QTimer;
class ShotEdits;
class ShotInfoWidget;
class TranscodeDialog;
class QSplitter;
class QSplitterHandle;

namespace Ui {
class MainWindow;
}

// The main window's constructor drives the whole start-up: the login, the
// project chooser and, when both are accepted, the browsing view.
//
// Threads: the window and everything it shows run on the GUI thread; the
// database work of the grid, the form, the history and the export runs on
// the database worker's thread (DbWorker), which hands its results back.
// The GUI thread never waits for the server: while work waits, the window
// paints and takes input, and after about a second the status bar says
// what it waits for, with Cancel.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // Ends the process with status 0 once the form object is gone; see the
    // comment in the definition.
    ~MainWindow() override;

protected:
    void changeEvent(QEvent *event) override;
    // Saves pending edits before the window goes away; asks once before
    // discarding what the database did not take.
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    GridWidget *grid = nullptr;
    ShotInfoWidget *info = nullptr;
    QSplitter *splitter = nullptr;
    QSplitterHandle *handle = nullptr;
    Ui::MainWindow *ui = nullptr;
    QAction *refreshAction = nullptr;
    QAction *findAction = nullptr;
    FindBar *findBar = nullptr;
    QLabel *countLabel = nullptr;
    QLabel *projectLabel = nullptr;

    QAction *exportAction = nullptr;
    QAction *transcodeAction = nullptr;
    QAction *changeProjectAction = nullptr;
    QAction *nextAction = nullptr;
    QAction *previousAction = nullptr;
    QAction *undoAction = nullptr;
    QAction *redoAction = nullptr;
    QAction *historyOffAction = nullptr;
    QList<QAction *> tagActions; // Alt+1 ... Alt+9
    QAction *tagsAction = nullptr;
    QAction *tagsOffAction = nullptr;
    QDockWidget *historyDock = nullptr;
    HistoryPanel *historyPanel = nullptr;

    ShotEdits *edits = nullptr;
    DbWorker *worker = nullptr;
    // Made by the first File > Transcode... and kept: never deleted, like
    // every transcode window, and shown again by the next.
    TranscodeDialog *transcodeWindow = nullptr;
    QLabel *busyLabel = nullptr;
    QPushButton *busyCancel = nullptr;
    QTimer *busyTimer = nullptr;
    bool exporting = false;
    bool closing = false;
    bool refreshing = false;
    qint64 revealFor = 0; // the change set an undo shows once the find is cleared

    void showCount();
    void exportShots();
    // The transcode window for the selected shots and those the find shows.
    void openTranscode();
    void restoreLayout();
    // The grid layout and the shot of the project shown, for next time.
    void saveProjectLayout();
    void restoreProjectLayout();
    void buildBrowser();
    void changeProject();
    void saveLayout();
    // Writes what is typed in a cell or the form before an action that
    // reads or leaves the rows.
    void savePending();
    // Saves every draft and waits (the window live) until the saves are
    // back. False when the user cancelled the wait.
    bool saveAndWait();
    // Asks what to do with values not in the database; true to go on.
    bool settleUnsaved(const QString &title, bool offerKeep);
    void undo(bool redo);
    void toggleTag(int key);
    void updateTagActions();
    void editTags();
    // Reverts the change next on the Undo (Redo) stack. A change whose
    // shots are out of view shows one of them first (clearing a find that
    // hides it) and asks once before it is reverted.
    void revertShown(bool redo, bool findCleared);
    bool shotInView(qlonglong shot) const;
    void makeCurrent(qlonglong shot);
    void updateUndoActions();
    void updateBusyNote();
};

// True while at least one top-level window is visible. The start-up uses it
// to leave at once when a dialog was rejected and nothing else is open.
bool anyTopLevelWindowVisible();
