#pragma once

#include "transcode/joblistmodel.h"

#include <QDir>
#include <QEventLoop>
#include <QHash>
#include <QQueue>
#include <QStringList>
#include <QWidget>

class EncoderRunner;
struct EncoderOutcome;
class QCheckBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QProcess;
class QProgressBar;
class QPushButton;
class QTextEdit;
class QTreeView;

// The window that encodes the clips below raw/ into editing copies below
// transcode/. Opened online from the project chooser (with a condition field
// that filters clips through the database) or offline from the login.
//
// "Cancel" and closing the window stop a running encoder and end the
// process, so tests that build it in-process must neither delete nor close
// it (hide it and leave it).
class TranscodeDialog : public QWidget
{
    Q_OBJECT

public:
    // Builds the window and shows it; the callers keep no pointer to it.
    TranscodeDialog();

    // How long a stopped encoder gets to end before it is killed.
    static constexpr int stopGraceMs = 2000;

public slots:
    void start();
    void stop();
    void nextFile(int status);
    void updateText();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    bool scan();
    void MP4(int width, int height, int rate, const QString &entry);
    void DNX(int width, int height, int rate, const QString &entry);
    void DV(const QString &entry);
    void plan(const TranscodeJob &job);
    void noteSkippedClip(const QString &entry);
    void jobFinished(const EncoderOutcome &outcome);
    void abandonQueue(const QString &reason);
    void finishRun();
    void showMessage(const QString &text);
    void clearLog();
    void appendLog(const QString &text, bool progress = false);
    void processPendingEvents();

    QLabel *currentFileLabel;
    QLabel *jobNumberLabel;
    QLabel *totalFilesLabel;
    QFormLayout *formLayout;
    QTextEdit *logEdit;
    QDir rawDir;
    QDir transcodeDir;
    QEventLoop *eventLoop;
    QQueue<int> jobQueue;   // rows of jobList still to run, first in first out
    QProcess *process;
    QCheckBox *mp4Box;
    QCheckBox *dnx60Box;
    QCheckBox *dnx36Box;
    QCheckBox *dvBox;
    QLineEdit *conditionEdit = nullptr;
    QPushButton *beginButton;
    QPushButton *cancelButton;
    int fileCount;

    QProgressBar *progressBar;
    QTreeView *jobView;
    QLabel *messageLabel;
    JobListModel *jobList;
    EncoderRunner *runner;

    bool busy = false;          // a scan or a job runs: "Begin..." is off
    bool closing = false;       // stop() is ending the process
    int runningRow = -1;
    int jobsStarted = 0;        // of this run, for "job i of n"
    int jobsInRun = 0;
    // Filled while a scan runs and queued only when it completes.
    QList<JobListModel::Entry> scanEntries;
    QHash<QString, QString> scanOutputs;   // output file -> the clip that writes it
    QStringList clipExisting;              // outputs of the current clip that exist
    QStringList clipTaken;                 // ... that another clip of this run writes
    QString clipTakenBy;                   // ... namely this one
    bool logHasLines = false;
    bool logEndsWithProgress = false;
};
