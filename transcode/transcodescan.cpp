#include "transcode/transcodescan.h"

#include "files/synclock.h"
#include "transcode/outputnamemap.h"
#include "files/partialfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <memory>
#include <vector>

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

void say(const TranscodeScan::Input &input, const QStringList &lines)
{
    if (input.report && !lines.isEmpty())
        input.report(lines);
}

// The locks of the trees' name maps, taken in preset order (the same order
// in every run, so two runs never wait for each other in a circle) and
// released together when the scan ends.
class TreeLocks
{
public:
    struct Outcome
    {
        bool ok = true;
        QString error;        // why the scan cannot go on
        QStringList notes;    // trees planned without their lock
    };

    Outcome takeAll(const TranscodeScan::Input &input)
    {
        Outcome outcome;
        for (const Preset preset : input.presets) {
            const QString tree = TranscodePlanner::treeOf(preset, input.outputRoot);
            auto lock = std::make_unique<SyncLock>();
            const QString path = OutputNameMap::lockPath(tree);
            QDir().mkpath(tree);
            QElapsedTimer waited;
            waited.start();
            SyncLock::Result result = lock->takeFile(path, SyncLock::OnRelease::Keep);
            while (result == SyncLock::Result::Held && waited.elapsed() < input.lockWaitMs) {
                if (input.keepAlive)
                    input.keepAlive();
                QThread::msleep(20);
                result = lock->takeFile(path, SyncLock::OnRelease::Keep);
            }
            if (result == SyncLock::Result::Held) {
                outcome.ok = false;
                outcome.error = QStringLiteral("The name map %1 is being changed by %2, so nothing was queued. "
                                               "Press \"Begin...\" again when that run has planned its jobs.")
                                    .arg(native(QDir(tree).filePath(OutputNameMap::fileName())), lock->holder());
                return outcome;
            }
            if (result == SyncLock::Result::Denied) {
                // Planning without it would let two runs give one name twice;
                // the file stays in the tree, so waiting would not help.
                outcome.ok = false;
                outcome.error = QStringLiteral("The name map %1 cannot be locked: %2, so nothing was queued. Ask %3 "
                                               "or an administrator to make the lock file writable for the group "
                                               "(chmod g+w) and press \"Begin...\" again; users who share the "
                                               "output trees need a umask of 002.")
                                    .arg(native(QDir(tree).filePath(OutputNameMap::fileName())), lock->deniedText(),
                                         lock->owner());
                return outcome;
            }
            if (result == SyncLock::Result::Unavailable) {
                // A tree nobody can write to: nobody else can change its map
                // either, and the jobs will say why they fail.
                outcome.notes.append(QStringLiteral("The name map %1 cannot be locked (%2); its names were planned "
                                             "without the lock.")
                                  .arg(native(QDir(tree).filePath(OutputNameMap::fileName())), lock->errorString()));
                continue;
            }
            locks.push_back(std::move(lock));
        }
        return outcome;
    }

private:
    std::vector<std::unique_ptr<SyncLock>> locks;
};

// A temporary file is never taken as an output. This machine's own
// leftovers, whose process is gone, are removed; what another machine may
// still be writing on a shared disk is only reported. Returns, by final
// name, the leftover removed for it.
QHash<QString, QString> removeLeftovers(const TranscodeScan::Input &input, const QStringList &partials)
{
    QHash<QString, QString> removed;
    QStringList notes;
    const auto running = input.processRunning ? input.processRunning : std::function<bool(qint64)>(&PartialFile::processRunning);
    const QList<PartialFile::Leftover> leftovers = PartialFile::classify(partials, input.host, input.pid, running);
    for (const PartialFile::Leftover &leftover : leftovers) {
        const QString path = native(leftover.path);
        if (leftover.action == PartialFile::Leftover::Keep) {
            notes << QStringLiteral("Left alone %1: %2.").arg(path, leftover.reason);
            continue;
        }
        QFile file(leftover.path);
        if (file.remove()) {
            notes << QStringLiteral("Removed %1: %2.").arg(path, leftover.reason);
            removed.insert(QFileInfo(leftover.path).path() + QLatin1Char('/') + leftover.finalName, leftover.path);
        } else {
            notes << QStringLiteral("Could not remove %1 (%2): %3.").arg(path, file.errorString(), leftover.reason);
        }
    }
    say(input, notes);
    return removed;
}

} // namespace

TranscodeScan::Result TranscodeScan::run(const Input &input, const TranscodePlanner::ClipFilter &filter)
{
    Result result;
    TranscodePlanner::Input plannerInput;
    plannerInput.clips = input.clips;
    plannerInput.presets = input.presets;
    plannerInput.outputRoot = input.outputRoot;
    plannerInput.host = input.host;
    plannerInput.pid = input.pid;
    plannerInput.jobFor = input.jobFor;

    // Without a clip there is nothing to name, and no tree is made.
    TreeLocks locks;
    if (!input.clips.isEmpty()) {
        const TreeLocks::Outcome taken = locks.takeAll(input);
        say(input, taken.notes);
        if (!taken.ok) {
            result.error = taken.error;
            return result;
        }
    }

    const TranscodePlanner::TreeContents trees = TranscodePlanner::readOutputTrees(plannerInput);
    if (!trees.ok) {
        result.error = trees.error;
        return result;
    }
    say(input, trees.notes);
    const QHash<QString, QString> removed = removeLeftovers(input, trees.partials);

    // The chosen clips first: a clip outside the choice costs no statement.
    TranscodePlanner::ClipFilter chosen = filter;
    if (input.only) {
        const QSet<QString> walked(input.clips.cbegin(), input.clips.cend());
        for (const QString &clip : *input.only) {
            if (!walked.contains(clip))
                result.notFound << clip;
        }
        result.notFound.sort();
        if (!result.notFound.isEmpty()) {
            QStringList shown = result.notFound.mid(0, noteLimit);
            if (result.notFound.size() > noteLimit)
                shown << QStringLiteral("... and %1 more").arg(result.notFound.size() - noteLimit);
            say(input, {QStringLiteral("%1 of the chosen shots have no clip below raw/ on this computer, so they "
                                       "are not encoded: %2")
                            .arg(result.notFound.size())
                            .arg(shown.join(QStringLiteral(", ")))});
        }
        chosen = [&input, &filter](const QString &clip) {
            if (!input.only->contains(clip))
                return TranscodePlanner::Verdict::Skip;
            return filter ? filter(clip) : TranscodePlanner::Verdict::Accept;
        };
    }
    const TranscodePlanner::Plan plan = TranscodePlanner::plan(plannerInput, chosen);
    if (plan.stopped) {
        result.stopped = true;
        result.stoppedAt = plan.stoppedAt;
        return result;
    }
    QStringList shown = plan.notes.mid(0, noteLimit);
    if (plan.notes.size() > noteLimit)
        shown << QStringLiteral("... and %1 more lines like these; the job list shows every job's state and note.")
                     .arg(plan.notes.size() - noteLimit);
    say(input, shown);

    // The names given to jobs that will run are recorded before any of them
    // runs, so a name never goes to another clip, whatever happens next.
    for (const TranscodePlanner::NameRecord &record : plan.records)
        plannerInput.maps[record.tree].add(record.name, record.clip);
    const auto keepAlive = [&input] {
        if (input.keepAlive)
            input.keepAlive();
    };
    QStringList saveNotes;
    for (auto it = plannerInput.maps.begin(); it != plannerInput.maps.end(); ++it) {
        keepAlive();
        if (!it->save())
            saveNotes << QStringLiteral("The name map %1 could not be written: %2. The names of this run still "
                                        "hold; a later run with other clips may choose others.")
                             .arg(native(QDir(it.key()).filePath(OutputNameMap::fileName())), it->errorString());
    }
    say(input, saveNotes);

    result.entries.reserve(plan.jobs.size());
    QSet<QString> made;
    for (const TranscodePlanner::PlannedJob &planned : plan.jobs) {
        if (result.entries.size() % 1024 == 0)
            keepAlive();
        // The folder is made even when the job is then skipped, but never
        // outside the tree (the queue then refuses the job).
        if (!made.contains(planned.job.outputDir) && planned.job.staysInsideItsTree()) {
            QDir().mkpath(planned.job.outputDir);
            made.insert(planned.job.outputDir);
        }
        TranscodeQueue::Entry entry;
        entry.job = planned.job;
        entry.note = planned.note;
        if (planned.done) {
            entry.state = TranscodeQueue::Skipped;
            entry.reason = QStringLiteral("the output exists");
        }
        const QString leftover = removed.value(planned.job.output);
        if (!leftover.isEmpty()) {
            const QString text = QStringLiteral("removed %1, left by a run that did not finish")
                                     .arg(QFileInfo(leftover).fileName());
            entry.note = entry.note.isEmpty() ? text : entry.note + QStringLiteral("; ") + text;
        }
        result.entries << entry;
    }
    result.acceptedClips = plan.acceptedClips;
    result.ok = true;
    return result;
}
