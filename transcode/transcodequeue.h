#pragma once

#include "transcode/encoderrunner.h"
#include "transcode/transcodejob.h"

#include <QDir>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QStringList>

#include <optional>

class QProcess;

// The jobs of a run and what became of each, and the one encoder process
// that works through them, job after job. Every job writes a temporary file
// beside its output (see PartialFile); only a job that ends with exit code 0
// renames it to the final name, so a final name is always a complete output.
// The rename happens under the lock of the tree's name map, and only when
// the map does not give the name to another clip: a workstation sharing the
// tree may have recorded it since this run planned.
// No widget: the transcode window shows it, tests drive it directly.
class TranscodeQueue : public QObject
{
    Q_OBJECT

public:
    enum State { Waiting, Running, Done, Failed, Skipped };

    struct Entry
    {
        TranscodeJob job;
        State state = Waiting;
        QString reason;        // why it failed or was skipped
        QStringList details;   // the end of the encoder's output
        QString note;          // why it has its name, or what was found in its place
    };

    // process runs every job; it stays the caller's.
    explicit TranscodeQueue(QProcess *process, QObject *parent = nullptr);

    // Where the encoder is looked for (its "ffmpeg/bin"), before each job.
    void setStartDir(const QDir &dir) { startDir = dir; }

    // Forgets every job; only while nothing runs.
    void clear();
    // Appends entries; the waiting ones are queued. Returns the first row.
    int add(const QList<Entry> &entries);

    // Starts the next waiting job unless one runs. A job whose output
    // appeared since it was planned is taken as done and not run: the file
    // is not its to overwrite. When nothing is left, emits drained().
    void start();
    // Stops the running job (terminate, kill after graceMs) and runs no
    // further one until start(). Blocks until the encoder has ended.
    void stop(int graceMs);
    // Fails every waiting job with reason.
    void abandon(const QString &reason);

    bool isRunning() const;
    int pending() const { return int(queue.size()); }
    int size() const { return int(entries.size()); }
    const Entry &entry(int row) const { return entries.at(row); }
    int count(State state) const;
    // For "job i of n": jobs taken off the queue, and jobs queued, since
    // the last clear().
    int started() const { return jobsStarted; }
    int total() const { return jobsQueued; }
    int runningRow() const { return current; }

    // The encoder's lines completed since the last call, and the running
    // job's progress (0 to 100, -1 while unknown).
    QList<ProgressParser::Line> takeLines();
    int percent() const;

    // How long a finished job waits for its tree's lock before it fails.
    void setLockWait(int ms) { lockWaitMs = ms; }

    // "waiting", "failed: exit code 1", ...
    static QString stateText(const Entry &entry);

signals:
    void cleared();
    void added(int first, int count);
    void changed(int row);
    void jobStarted(int row);
    // After the row's state says how it ended; the next job starts after.
    void jobEnded(int row, int exitCode);
    // Nothing is left to run.
    void drained();
    // A line for the log.
    void note(const QString &text);
    // What stopped the run (no encoder, or one that cannot be started).
    void problem(const QString &text);
    // The running encoder wrote lines (takeLines()), or got further.
    void outputReady();
    void progressChanged(int percent);

private:
    void setState(int row, State state, const QString &reason = QString(),
                  const QStringList &details = QStringList());
    void finished(const EncoderOutcome &outcome);
    // Renames the running job's finished temporary file under its tree's
    // lock, trying again later while another run holds it.
    void settle();
    void end(int row, const EncoderOutcome &outcome);

    EncoderRunner *encoder;
    QDir startDir;
    QList<Entry> entries;
    QQueue<int> queue;      // rows still to run, first in first out
    int current = -1;
    int jobsStarted = 0;
    int jobsQueued = 0;
    bool stopping = false;
    quint64 startCalls = 0;
    int lockWaitMs = 30000;
    std::optional<EncoderOutcome> settling;   // the finished job's outcome while it waits for the lock
    QElapsedTimer settlingFor;
};
