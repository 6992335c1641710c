#pragma once

#include "transcode/progressparser.h"

#include <QObject>
#include <QProcess>
#include <QStringDecoder>
#include <QStringList>

// How one encoder run ended. Start failure, crash, non-zero exit and a stop
// by the user all end up here, so there is one place that says whether the
// job is done.
struct EncoderOutcome
{
    enum Status { Succeeded, FailedToStart, Crashed, ExitedWithError, Stopped };

    Status status = Succeeded;
    int exitCode = 0;
    QString errorText;        // the start failure's reason
    QStringList lastLines;    // the end of the encoder's output
    bool outputRemoved = false;

    bool succeeded() const { return status == Succeeded; }
    // A short reason for the job list: "exit code 1", "crashed", ...
    QString reason() const;
};

// Runs one encoder job at a time on the given process. The encoder's
// standard input is the null device, so it can never wait for an answer
// (for instance whether to overwrite a file), and its standard output, which
// nothing reads, goes there as well. Its diagnostic output is decoded as
// the local 8-bit encoding and split into lines. On Linux the encoder is
// ended by the system when the client dies, so it never writes on alone.
class EncoderRunner : public QObject
{
    Q_OBJECT

public:
    explicit EncoderRunner(QProcess *process, QObject *parent = nullptr);

    // Starts a job. outputFile is removed again if the job fails and created
    // it; a file that was there before the start is never touched.
    void start(const QString &program, const QStringList &arguments, const QString &outputFile);
    // Stops the running job: terminate, and kill after graceMs. Blocks until
    // the encoder has ended, then emits finished() with status Stopped.
    void stop(int graceMs);
    bool isRunning() const { return running; }
    QString program() const { return process->program(); }

    // The lines completed since the last call.
    QList<ProgressParser::Line> takeLines();
    // The running job's progress, 0 to 100, or -1 while unknown.
    int percent() const { return parser.percent(); }

    static constexpr int keptLines = 8;

signals:
    // New lines can be taken with takeLines().
    void outputReady();
    void progressChanged(int percent);
    void finished(const EncoderOutcome &outcome);

private:
    void readOutput();
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processError(QProcess::ProcessError error);
    void keepLines(const QList<ProgressParser::Line> &lines);
    void end(EncoderOutcome outcome);

    QProcess *process;
    ProgressParser parser;
    QStringDecoder decoder;
    QList<ProgressParser::Line> ready;
    QStringList tail;
    bool tailEndsWithProgress = false;
    QString outputFile;
    bool outputExisted = false;
    bool running = false;
    bool stopping = false;
};
