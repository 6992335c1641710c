#pragma once

#include "transcode/transcodeplanner.h"
#include "transcode/transcodequeue.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Prepares a transcode run from the clips a walk found: reads the output
// trees, removes this machine's leftovers, plans the jobs and their names
// (TranscodePlanner), records the names in the trees' maps, makes the
// output folders and returns the queue's entries. No widget: the transcode
// window shows what it reports, tests call it directly.
//
// The trees' name maps are read and changed only under their locks (see
// OutputNameMap), held from the first read to the last write, so two
// workstations scanning one shared tree plan one after the other and the
// second honours the names the first recorded.
namespace TranscodeScan {

struct Input
{
    QStringList clips;          // every clip below raw/ ("raw/..."), sorted by path
    QList<Preset> presets;      // the ticked ones, in box order
    QString outputRoot;         // absolute, "/" separators
    QString host;               // for the temporary names (PartialFile)
    qint64 pid = 0;
    // Builds a preset's job for a clip under its layout name; the
    // planner's layoutJob() when not set.
    std::function<TranscodeJob(Preset, const QString &clip)> jobFor;
    // Whether a process of this host still runs, for its leftovers.
    std::function<bool(qint64)> processRunning;
    // Called while the scan waits for a lock another run holds, and now and
    // then while it records names and makes folders, so the caller's
    // window stays live.
    std::function<void()> keepAlive;
    // Lines for the log, as they arise: what was found in the trees, what
    // was removed, the plan's notes.
    std::function<void(const QStringList &lines)> report;
    // When set, only these clips are encoded (the shots chosen in the main
    // window), in addition to what the filter decides; chosen clips the
    // walk did not find are reported. Names are still planned over every
    // clip, so a choice never changes them.
    std::optional<QSet<QString>> only;
    // How long a lock another run holds is waited for.
    int lockWaitMs = 30000;
};

struct Result
{
    bool ok = false;
    QString error;              // why nothing was queued, when a tree stood in the way
    bool stopped = false;       // the filter stopped the scan: nothing was queued
    QString stoppedAt;          // the clip it stopped at
    int acceptedClips = 0;
    QStringList notFound;       // chosen clips (see Input::only) the walk did not find, sorted
    QList<TranscodeQueue::Entry> entries;
};

// A plan's notes beyond this many are counted, not listed: the job list
// holds every job's state and note.
constexpr int noteLimit = 200;

Result run(const Input &input, const TranscodePlanner::ClipFilter &filter = TranscodePlanner::ClipFilter());

} // namespace TranscodeScan
