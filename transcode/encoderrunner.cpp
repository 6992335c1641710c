#include "transcode/encoderrunner.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

QString EncoderOutcome::reason() const
{
    switch (status) {
    case Succeeded:
        return QStringLiteral("done");
    case FailedToStart:
        return QStringLiteral("the encoder could not be started: %1").arg(errorText);
    case Crashed:
        return QStringLiteral("the encoder crashed");
    case ExitedWithError:
        return QStringLiteral("exit code %1").arg(exitCode);
    case Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

EncoderRunner::EncoderRunner(QProcess *process, QObject *parent)
    : QObject(parent)
    , process(process)
    , decoder(QStringDecoder::System)
{
    connect(process, &QProcess::readyReadStandardError, this, &EncoderRunner::readOutput);
    connect(process, &QProcess::finished, this, &EncoderRunner::processFinished);
    connect(process, &QProcess::errorOccurred, this, &EncoderRunner::processError);
#ifdef Q_OS_LINUX
    // When the client dies (killed, crashed, its session ended), the
    // encoder goes with it instead of writing on for nobody. The signal is
    // set in the child between fork and exec; the client may already have
    // died by then, and the signal would never come, so the child checks.
    // The kernel ties it to the thread that started the child: the GUI
    // thread, which lives as long as the client.
    const pid_t client = ::getpid();
    process->setChildProcessModifier([client]() {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != client)
            ::_exit(127);
    });
#endif
    // Elsewhere the client stops its encoder when it closes (see stop()).
}

void EncoderRunner::start(const QString &program, const QStringList &arguments, const QString &file)
{
    if (running) {
        qWarning("EncoderRunner::start: a job is still running; the new one is not started");
        return;
    }
    parser = ProgressParser();
    decoder.resetState();
    ready.clear();
    tail.clear();
    tailEndsWithProgress = false;
    outputFile = file;
    outputExisted = QFileInfo::exists(file);
    stopping = false;
    running = true;
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setReadChannel(QProcess::StandardError);
    process->start(program, arguments, QIODevice::ReadOnly);
}

void EncoderRunner::stop(int graceMs)
{
    if (!running)
        return;
    stopping = true;
    // Its standard input is closed, so the encoder's own "q" is out of
    // reach: ask the system to end it, then insist.
    process->terminate();
    if (!process->waitForFinished(graceMs)) {
        process->kill();
        process->waitForFinished(5000);
    }
    // waitForFinished() delivers finished() itself; this covers a process
    // that could not be waited for.
    if (running)
        processFinished(-1, QProcess::CrashExit);
}

QList<ProgressParser::Line> EncoderRunner::takeLines()
{
    QList<ProgressParser::Line> lines;
    lines.swap(ready);
    return lines;
}

void EncoderRunner::readOutput()
{
    const QByteArray bytes = process->readAllStandardError();
    if (bytes.isEmpty())
        return;
    const int before = parser.percent();
    const QList<ProgressParser::Line> lines = parser.feed(decoder.decode(bytes));
    keepLines(lines);
    ready += lines;
    if (!lines.isEmpty())
        emit outputReady();
    if (parser.percent() != before)
        emit progressChanged(parser.percent());
}

void EncoderRunner::keepLines(const QList<ProgressParser::Line> &lines)
{
    for (const ProgressParser::Line &line : lines) {
        if (line.text.trimmed().isEmpty())
            continue;
        // A run of progress lines counts as one: the latest.
        if (line.progress && tailEndsWithProgress && !tail.isEmpty())
            tail.removeLast();
        tail.append(line.text);
        tailEndsWithProgress = line.progress;
        while (tail.size() > keptLines)
            tail.removeFirst();
    }
}

void EncoderRunner::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (!running)
        return;
    readOutput();
    const QList<ProgressParser::Line> rest = parser.feed(decoder.decode(QByteArray())) + parser.finish();
    keepLines(rest);
    ready += rest;
    if (!rest.isEmpty())
        emit outputReady();

    EncoderOutcome outcome;
    outcome.exitCode = exitCode;
    if (stopping)
        outcome.status = EncoderOutcome::Stopped;
    else if (exitStatus == QProcess::CrashExit)
        outcome.status = EncoderOutcome::Crashed;
    else if (exitCode != 0)
        outcome.status = EncoderOutcome::ExitedWithError;
    else
        outcome.status = EncoderOutcome::Succeeded;
    end(outcome);
}

void EncoderRunner::processError(QProcess::ProcessError error)
{
    // Every other error comes with finished(); a failed start does not.
    if (error != QProcess::FailedToStart || !running)
        return;
    EncoderOutcome outcome;
    outcome.status = EncoderOutcome::FailedToStart;
    outcome.exitCode = -1;
    outcome.errorText = process->errorString();
    end(outcome);
}

void EncoderRunner::end(EncoderOutcome outcome)
{
    running = false;
    stopping = false;
    outcome.lastLines = tail;
    // A half-written file would pass for a finished one in every later run.
    if (!outcome.succeeded() && !outputExisted && !outputFile.isEmpty() && QFileInfo::exists(outputFile))
        outcome.outputRemoved = QFile::remove(outputFile);
    emit finished(outcome);
}
