#include "transcode/transcodequeue.h"

#include "files/synclock.h"
#include "transcode/encoderlocator.h"
#include "transcode/outputnamemap.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace {

// How often a finished job asks again for a lock another run holds.
constexpr int lockRetryMs = 50;

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

TranscodeQueue::TranscodeQueue(QProcess *process, QObject *parent)
    : QObject(parent)
    , encoder(new EncoderRunner(process, this))
    , startDir(QDir::current())
{
    connect(encoder, &EncoderRunner::finished, this, &TranscodeQueue::finished);
    connect(encoder, &EncoderRunner::outputReady, this, &TranscodeQueue::outputReady);
    connect(encoder, &EncoderRunner::progressChanged, this, &TranscodeQueue::progressChanged);
}

QList<ProgressParser::Line> TranscodeQueue::takeLines()
{
    return encoder->takeLines();
}

int TranscodeQueue::percent() const
{
    return encoder->percent();
}

QString TranscodeQueue::stateText(const Entry &entry)
{
    QString text;
    switch (entry.state) {
    case Waiting:
        text = QStringLiteral("waiting");
        break;
    case Running:
        text = QStringLiteral("running");
        break;
    case Done:
        text = QStringLiteral("done");
        break;
    case Failed:
        text = QStringLiteral("failed");
        break;
    case Skipped:
        text = QStringLiteral("skipped");
        break;
    }
    if (!entry.reason.isEmpty())
        text += QStringLiteral(": ") + entry.reason;
    return text;
}

bool TranscodeQueue::isRunning() const
{
    return current >= 0;
}

void TranscodeQueue::clear()
{
    if (isRunning()) {
        qWarning("TranscodeQueue::clear: a job is running; the queue is kept");
        return;
    }
    entries.clear();
    queue.clear();
    jobsStarted = 0;
    jobsQueued = 0;
    emit cleared();
}

int TranscodeQueue::add(const QList<Entry> &added)
{
    const int first = int(entries.size());
    if (added.isEmpty())
        return first;
    entries += added;
    for (int row = first; row < entries.size(); ++row) {
        if (entries.at(row).state == Waiting) {
            queue.enqueue(row);
            ++jobsQueued;
        }
    }
    emit this->added(first, int(added.size()));
    return first;
}

int TranscodeQueue::count(State state) const
{
    int n = 0;
    for (const Entry &entry : entries)
        n += entry.state == state ? 1 : 0;
    return n;
}

void TranscodeQueue::setState(int row, State state, const QString &reason, const QStringList &details)
{
    Entry &entry = entries[row];
    entry.state = state;
    entry.reason = reason;
    entry.details = details;
    emit changed(row);
}

void TranscodeQueue::start()
{
    ++startCalls;
    if (isRunning())
        return;
    stopping = false;
    while (!queue.isEmpty()) {
        const TranscodeJob &head = entries.at(queue.head()).job;
        if (!head.staysInsideItsTree()) {
            // The same check as the name map's: nothing is written where
            // the tree's owner did not mean it to be.
            const QString reason = QStringLiteral("not run, its output %1 lies outside the output tree %2")
                                       .arg(native(head.output), native(head.tree));
            ++jobsStarted;
            setState(queue.dequeue(), Failed, reason);
            emit note(QStringLiteral("The job failed: %1.").arg(reason));
            continue;
        }
        if (!QFileInfo::exists(head.output))
            break;
        ++jobsStarted;
        setState(queue.dequeue(), Done, QStringLiteral("the output already existed, not run"));
    }
    if (queue.isEmpty()) {
        emit drained();
        return;
    }
    // Looked up for every job, so an encoder installed during a run is
    // found by its next job.
    const EncoderLocation location = findEncoder(startDir);
    if (!location.found()) {
        abandon(QStringLiteral("not run, the encoder was not found"));
        emit problem(location.describe());
        emit drained();
        return;
    }

    const int row = queue.dequeue();
    ++jobsStarted;
    current = row;
    const TranscodeJob job = entries.at(row).job;
    const QString written = job.partial.isEmpty() ? job.output : job.partial;
    if (!job.partial.isEmpty()) {
        // The temporary name carries this process's id, so whatever is
        // there is a leftover of this very process, never another's.
        QFile::remove(job.partial);
    }
    QDir().mkpath(job.outputDir);
    setState(row, Running,
             job.partial.isEmpty() ? QString()
                                   : QStringLiteral("writing %1").arg(QFileInfo(job.partial).fileName()));
    emit jobStarted(row);
    if (!job.partial.isEmpty())
        emit note(QStringLiteral("Encoding %1 into %2; it takes the name %3 only when the encoder succeeds.")
                      .arg(job.source, native(job.partial), native(job.output)));
    if (!entries.at(row).note.isEmpty())
        emit note(QStringLiteral("%1: %2").arg(job.source, entries.at(row).note));
    encoder->start(location.program, job.arguments, written);
}

void TranscodeQueue::finished(const EncoderOutcome &outcome)
{
    if (current < 0)
        return;
    const int row = current;
    const TranscodeJob job = entries.at(row).job;
    const QString written = job.partial.isEmpty() ? job.output : job.partial;

    if (outcome.succeeded() && !QFileInfo::exists(written)) {
        // Said it was done, but left nothing a later run could find.
        setState(row, Failed, QStringLiteral("the encoder ended without writing %1").arg(native(job.output)),
                 outcome.lastLines);
    } else if (outcome.succeeded() && job.partial.isEmpty()) {
        setState(row, Done);
    } else if (outcome.succeeded()) {
        settling = outcome;
        settlingFor.start();
        settle();
        return;
    } else {
        QString reason = outcome.reason();
        if (outcome.outputRemoved)
            reason += QStringLiteral(", its partial output was removed");
        setState(row, Failed, reason, outcome.lastLines);
    }
    end(row, outcome);
}

void TranscodeQueue::settle()
{
    if (!settling || current < 0)
        return;
    const int row = current;
    const TranscodeJob job = entries.at(row).job;
    SyncLock lock;
    const SyncLock::Result taken =
        job.tree.isEmpty() ? SyncLock::Result::Unavailable : lock.takeFile(OutputNameMap::lockPath(job.tree), SyncLock::OnRelease::Keep);
    if (taken == SyncLock::Result::Held && settlingFor.elapsed() < lockWaitMs) {
        // Another run is planning or renaming in this tree; its turn is short.
        QTimer::singleShot(lockRetryMs, this, &TranscodeQueue::settle);
        return;
    }
    const EncoderOutcome outcome = *settling;
    settling.reset();
    current = -1;

    // Why the encoding may not take its name, if it may not.
    QString refused;
    const QString name = job.output.mid(job.tree.size() + 1);
    const QString mapPath = native(QDir(job.tree).filePath(OutputNameMap::fileName()));
    OutputNameMap::Owner owner;
    if (taken == SyncLock::Result::Held) {
        refused = QStringLiteral("the name map of %1 stayed locked by %2")
                      .arg(native(job.tree), lock.holder());
    } else if (taken == SyncLock::Result::Denied) {
        refused = QStringLiteral("the name map of %1 cannot be locked: %2").arg(native(job.tree), lock.deniedText());
    } else if (!job.staysInsideItsTree()) {
        // A folder on its way became a link while the encoder ran.
        refused = QStringLiteral("its output %1 now lies outside the output tree %2")
                      .arg(native(job.output), native(job.tree));
    } else if (!job.tree.isEmpty()) {
        owner = OutputNameMap::ownerOf(job.tree, name);
        if (!owner.readable)
            refused = QStringLiteral("the name map %1 cannot be read (%2)").arg(mapPath, owner.error);
        else if (!owner.clip.isEmpty() && owner.clip != job.source)
            refused = QStringLiteral("the name map gives %1 to %2").arg(native(job.output), owner.clip);
    }

    if (!refused.isEmpty()) {
        QFile::remove(job.partial);
        setState(row, Failed, refused + QStringLiteral("; this encoding was removed"), outcome.lastLines);
    } else {
        // The same folder, so the rename is atomic; it never replaces a file
        // that appeared under the final name meanwhile.
        QFile file(job.partial);
        if (file.rename(job.output)) {
            setState(row, Done);
            if (!job.tree.isEmpty() && owner.clip.isEmpty()) {
                // The scan could not record the name: it is this clip's now.
                OutputNameMap map(job.tree);
                if (map.load() && map.add(name, job.source) && !map.save())
                    emit note(QStringLiteral("The name map %1 could not be written: %2.")
                                  .arg(mapPath, map.errorString()));
            }
        } else {
            const QString error = file.errorString();
            const bool exists = QFileInfo::exists(job.output);
            QFile::remove(job.partial);
            if (exists && owner.clip == job.source) {
                // Another workstation encoded the same clip into the name the
                // map gives it, and was first: a final name is complete.
                setState(row, Done, QStringLiteral("another run made it meanwhile; this encoding was removed"));
            } else {
                setState(row, Failed,
                         exists ? QStringLiteral("%1 appeared while the job ran; it was left alone and this "
                                                 "encoding removed")
                                      .arg(native(job.output))
                                : QStringLiteral("the finished file could not be renamed to %1 (%2) and was removed")
                                      .arg(native(job.output), error),
                         outcome.lastLines);
            }
        }
    }
    lock.release();
    end(row, outcome);
}

void TranscodeQueue::end(int row, const EncoderOutcome &outcome)
{
    current = -1;
    if (entries.at(row).state == Failed)
        emit note(QStringLiteral("The job failed: %1.").arg(entries.at(row).reason));

    if (outcome.status == EncoderOutcome::FailedToStart) {
        // Every further job would fail the same way; moving on drains.
        abandon(QStringLiteral("not run, the encoder could not be started"));
        emit problem(QStringLiteral("The encoder %1 could not be started: %2")
                         .arg(native(encoder->program()), outcome.errorText));
    }
    // A receiver of jobEnded() may move the queue on itself (the window
    // does); then it is not moved twice.
    const quint64 calls = startCalls;
    emit jobEnded(row, outcome.exitCode);
    if (!stopping && startCalls == calls)
        start();
}

void TranscodeQueue::stop(int graceMs)
{
    stopping = true;
    if (settling && current >= 0) {
        // The encoder is done, and its file waits for the map's lock: the
        // stop ends the wait, and the file goes, as a stopped job's does.
        const EncoderOutcome outcome = *settling;
        settling.reset();
        const int row = current;
        QFile::remove(entries.at(row).job.partial);
        setState(row, Failed,
                 QStringLiteral("stopped while waiting for the name map's lock, its output was removed"),
                 outcome.lastLines);
        end(row, outcome);
        return;
    }
    encoder->stop(graceMs);
}

void TranscodeQueue::abandon(const QString &reason)
{
    while (!queue.isEmpty())
        setState(queue.dequeue(), Failed, reason);
}
