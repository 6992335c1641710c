#pragma once

#include <QMainWindow>

class FindBar;
class GridWidget;
class QAction;
class QLabel;
class ShotInfoWidget;
class QSplitter;
class QSplitterHandle;

namespace Ui {
class MainWindow;
}

// The main window's constructor drives the whole start-up: the login, the
// project chooser and, when both are accepted, the browsing view.
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
    // Writes pending edits before the window goes away; asks once before
    // discarding what the database did not take.
    void closeEvent(QCloseEvent *event) override;

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

    QAction *exportAction = nullptr;
    QAction *changeProjectAction = nullptr;
    QAction *nextAction = nullptr;
    QAction *previousAction = nullptr;

    void showCount();
    void exportShots();
    void restoreLayout();
    void buildBrowser();
    void changeProject();
    void saveLayout();
    // Writes what is typed in a cell or the form before an action that
    // reads or leaves the rows.
    void savePending();
};

// True while at least one top-level window is visible. The start-up uses it
// to leave at once when a dialog was rejected and nothing else is open.
bool anyTopLevelWindowVisible();
