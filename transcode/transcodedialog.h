#pragma once

#include "transcode/joblistmodel.h"
#include "transcode/shotclips.h"
#include "transcode/transcodeplanner.h"
#include "transcode/transcodequeue.h"

#include <QDir>
#include <QEventLoop>
#include <QSet>
#include <QStringList>
#include <QTextCursor>
#include <QWidget>

#include <optional>

class QCheckBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QProcess;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTextEdit;
class QTreeView;

// The window that encodes the clips below raw/ into editing copies below
// transcode/. Opened online from the project chooser (with a condition field
// that filters clips through the database) or offline from the login. It
// only shows the run: TranscodeScan prepares the jobs (TranscodePlanner
// decides them and their names), TranscodeQueue runs them on the window's
// process.
//
// Opened from the login or the chooser, "Cancel" and closing the window
// stop a running encoder and end the process, so tests that build it
// in-process must neither delete nor close it (hide it and leave it).
// Opened from the main window (File > Transcode...), it also offers the
// shots selected in the grid and those the find shows as the clips to
// encode, and "Cancel" and closing stop the run and hide the window: the
// client goes on.
class TranscodeDialog : public QWidget
{
    Q_OBJECT

public:
    // Builds the window and shows it; the callers keep no pointer to it.
    TranscodeDialog();
    // Beside the main window: offers shots as the clips to encode, and
    // leaves the client running when it is cancelled or closed. The main
    // window keeps it and hands it its shots again with offerShots().
    explicit TranscodeDialog(const ShotClips &shots);

    // The shots offered from now on; a run that goes on keeps its clips.
    void offerShots(const ShotClips &shots);
    // A run (scan or jobs) is in progress.
    bool isBusy() const { return busy; }

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
    void build(bool besideMainWindow);
    bool scan();
    // The clips the chosen shots hold, when shots are chosen.
    std::optional<QSet<QString>> chosenClips() const;
    // Stops the run and hides the window, beside the main window.
    void cancelRun();
    // The presets' jobs for a clip, under the layout's names.
    TranscodeJob MP4(int width, int height, int rate, const QString &entry);
    TranscodeJob DNX(int width, int height, int rate, const QString &entry);
    TranscodeJob DV(const QString &entry);
    TranscodeJob presetJob(Preset preset, const QString &entry);
    QList<Preset> tickedPresets() const;
    void keepScanNotes(const QStringList &lines);
    void jobStarted(int row);
    void finishRun();
    void showMessage(const QString &text);
    void clearLog();
    void appendLog(const QString &text, bool progress = false);
    void appendLogLines(const QStringList &lines);
    void processPendingEvents();

    QLabel *currentFileLabel;
    QLabel *jobNumberLabel;
    QLabel *totalFilesLabel;
    QFormLayout *formLayout;
    QTextEdit *logEdit;
    QDir rawDir;
    QDir transcodeDir;
    QEventLoop *eventLoop;
    TranscodeQueue *jobQueue;   // the jobs of the run, run first in first out on process
    QProcess *process;
    QCheckBox *mp4Box;
    QCheckBox *dnx60Box;
    QCheckBox *dnx36Box;
    QCheckBox *dvBox;
    QLineEdit *conditionEdit = nullptr;
    // Beside the main window: which clips to encode.
    QRadioButton *selectedShotsButton = nullptr;
    QRadioButton *foundShotsButton = nullptr;
    QRadioButton *everyClipButton = nullptr;
    ShotClips shots;
    QPushButton *beginButton;
    QPushButton *cancelButton;
    int fileCount;

    QProgressBar *progressBar;
    QTreeView *jobView;
    QLabel *messageLabel;
    JobListModel *jobList;
    // Where the last scan's notes begin and end in the log: they are kept
    // above each job's output.
    QTextCursor scanNotesStart;
    QTextCursor scanNotesEnd;

    bool busy = false;          // a scan or a job runs: "Begin..." is off
    bool closing = false;       // stop() is ending the process
    bool endsClient = true;     // Cancel and closing end the process (not beside the main window)
    bool scanning = false;      // start() is in scan()
    bool cancelled = false;     // the run was cancelled; no further job starts
    bool jobRan = false;        // a job of this run started its encoder
    bool logHasLines = false;
    bool logEndsWithProgress = false;
};
