#pragma once

#include "transcode/outputnamemap.h"
#include "transcode/transcodejob.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QStringList>

#include <functional>

// Turns the clips below raw/, the ticked presets, the online filter and what
// the output trees already hold into the jobs of a run and the lines the log
// shows about them. Plain code: it reads nothing and writes nothing, so a
// test states a tree in a table and reads the plan.
//
// Names. Every clip gets its outputs. A clip's layout name (the output
// tree's folder for its first folder below raw/, and its name up to the
// first dot) is its own when no other clip has it. When two cards repeat a
// number, the later clip in path order gets the layout name with a suffix
// made from the folders that tell it apart from the clip that has the name
// (raw/Day1/CardB/00001.MTS beside raw/Day1/CardA/00001.MTS gets
// raw/Day1/00001_CardB.mov), and "_2", "_3", ... when even that is taken.
// The name map of each tree (OutputNameMap) keeps a name with the clip it was
// given to, in every later run. Names are planned over every clip before the
// filter runs, so a condition never changes them.
//
// An output that exists is done: for the clip the map gives it to, or, when
// the map does not know it (written before the map existed, or by hand), for
// the first clip whose layout name it is.
namespace TranscodePlanner {

// The preset's output tree below outputRoot, and its job for a clip under
// the layout's own name.
QString treeOf(Preset preset, const QString &outputRoot);
TranscodeJob layoutJob(Preset preset, const QString &clip, const QString &outputRoot);

enum class Verdict { Accept, Skip, Stop };
// Called once per clip, in path order, after the names are planned.
using ClipFilter = std::function<Verdict(const QString &clip)>;

struct Input
{
    QStringList clips;          // every clip below raw/ ("raw/..."), sorted by path
    QList<Preset> presets;      // the ticked ones, in box order
    QString outputRoot;         // absolute, "/" separators
    QHash<QString, OutputNameMap> maps;   // by tree; a tree without one has no names yet
    QSet<QString> existing;     // absolute paths of what the output trees hold
    QString host;               // for the temporary names (PartialFile)
    qint64 pid = 0;
    // Builds a preset's job for a clip under its layout name; layoutJob()
    // when not set.
    std::function<TranscodeJob(Preset, const QString &clip)> jobFor;
};

struct PlannedJob
{
    TranscodeJob job;
    bool done = false;   // its output exists: nothing to run
    QString note;        // why it has its name, when that is not plain
};

struct NameRecord
{
    QString tree;
    QString name;   // relative to the tree
    QString clip;
};

struct Plan
{
    // The accepted clips' jobs, clip by clip in path order, presets in box
    // order; nothing when the filter stopped the scan.
    QList<PlannedJob> jobs;
    QStringList notes;            // for the log, in order
    int acceptedClips = 0;
    bool stopped = false;
    QString stoppedAt;            // the clip the filter stopped at
    QList<NameRecord> records;    // names given to jobs that will run, new to their map

    int count(bool done) const;
};

Plan plan(const Input &input, const ClipFilter &filter = ClipFilter());

// The part of the clip's path that names its layout output apart from
// the clip that has that name: the folders below raw/'s first folder that
// differ, joined with "_" (CardB for raw/Day1/CardB/00001.MTS against
// raw/Day1/CardA/00001.MTS). Empty when no folder differs.
QString distinguishingFolders(const QString &clip, const QString &owner);

// What readOutputTrees() found besides what it put into the input.
struct TreeContents
{
    bool ok = true;
    QString error;          // when not ok: the map that cannot be read, and why
    QStringList partials;   // temporary files (see PartialFile)
    QStringList notes;      // damaged and refused map lines, for the log
};

// Reads what the ticked presets' output trees hold into input (their maps
// and every file and folder in them, the temporary ones and the maps' own
// files apart). Not ok when a map exists but cannot be read: planning
// without it could give names to other clips.
TreeContents readOutputTrees(Input &input);

} // namespace TranscodePlanner
