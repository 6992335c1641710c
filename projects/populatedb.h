#pragma once

#include "projects/syncengine.h"

#include <QWidget>

class QEventLoop;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The client's sync window: runs one sync of the clips below the local root
// (the current directory) for the project in ClientState, modal over its
// parent, with progress, a Cancel that acts at once and a closing summary.
class PopulateDB : public QWidget
{
    Q_OBJECT

public:
    explicit PopulateDB(QWidget *parent = nullptr);
    ~PopulateDB() override;

    // Shows the window, runs the sync and returns once the user has closed
    // the summary. The window stays responsive throughout: hashing runs on a
    // thread of its own, the statements on the sync's database thread.
    SyncSummary run();
    // Quick re-sync: only new or changed clips are read (see SyncEngine).
    void setChangedOnly(bool on) { engine->setChangedOnly(on); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showProgress(const SyncProgress &progress);
    void showSummary(const SyncSummary &summary);
    void buttonClicked();

    SyncEngine *engine;
    QLabel *titleLabel;
    QProgressBar *progressBar;
    QLabel *countsLabel;
    QLabel *currentLabel;
    QPlainTextEdit *detailsView;
    QPushButton *cancelButton;
    QEventLoop *loop = nullptr;
};
