#include "transcode/transcodeplanner.h"

#include "files/partialfile.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>

namespace {

// One preset's output for one clip while the names are planned.
struct Slot
{
    TranscodeJob job;
    QString name;          // relative to the tree; empty until given
    bool done = false;
    bool unattributed = false;   // done by a file the map does not know
    QString owner;         // the clip that has the layout name, when not this one
    QString layoutName;    // file name only
};

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// The folders between raw/'s first folder and the clip's file name.
QStringList innerFolders(const QString &clip)
{
    const QStringList parts = clip.split(QLatin1Char('/'));
    return parts.size() > 3 ? parts.mid(2, parts.size() - 3) : QStringList();
}

} // namespace

int TranscodePlanner::Plan::count(bool done) const
{
    int n = 0;
    for (const PlannedJob &job : jobs)
        n += job.done == done ? 1 : 0;
    return n;
}

QString TranscodePlanner::treeOf(Preset preset, const QString &outputRoot)
{
    return layoutJob(preset, QStringLiteral("raw/x/x.MTS"), outputRoot).tree;
}

TranscodeJob TranscodePlanner::layoutJob(Preset preset, const QString &clip, const QString &outputRoot)
{
    return presetJob(preset, clip, outputRoot);
}

QString TranscodePlanner::distinguishingFolders(const QString &clip, const QString &owner)
{
    const QStringList mine = innerFolders(clip);
    const QStringList theirs = innerFolders(owner);
    int prefix = 0;
    while (prefix < mine.size() && prefix < theirs.size() && mine.at(prefix) == theirs.at(prefix))
        ++prefix;
    // Cards keep the same inner folders (PRIVATE/AVCHD/BDMV/STREAM), so
    // what the two share at the end tells nothing apart either.
    int suffix = 0;
    while (suffix < mine.size() - prefix && suffix < theirs.size() - prefix
           && mine.at(mine.size() - 1 - suffix) == theirs.at(theirs.size() - 1 - suffix))
        ++suffix;
    return mine.mid(prefix, mine.size() - prefix - suffix).join(QLatin1Char('_'));
}

TranscodePlanner::Plan TranscodePlanner::plan(const Input &input, const ClipFilter &filter)
{
    Plan result;
    const int clipCount = int(input.clips.size());
    QList<QList<Slot>> table;           // [preset][clip]
    QList<OutputNameMap> maps;

    auto give = [&input](Slot &slot, const QString &name) {
        slot.name = name;
        const QString output = slot.job.tree + QLatin1Char('/') + name;
        slot.job.setOutput(output, input.host.isEmpty() ? PartialFile::pathFor(output)
                                                        : PartialFile::pathFor(output, input.host, input.pid));
        slot.done = input.existing.contains(output);
    };

    for (const Preset preset : input.presets) {
        const QString tree = treeOf(preset, input.outputRoot);
        const OutputNameMap map = input.maps.value(tree, OutputNameMap(tree));
        QHash<QString, QString> given;   // name -> clip, in this plan
        QList<Slot> row(clipCount);
        const int treeLength = int(tree.size()) + 1;

        // A name the map gives a clip stays its name.
        for (int i = 0; i < clipCount; ++i) {
            Slot &slot = row[i];
            slot.job = input.jobFor ? input.jobFor(preset, input.clips.at(i))
                                    : layoutJob(preset, input.clips.at(i), input.outputRoot);
            slot.layoutName = slot.job.output.mid(slot.job.output.lastIndexOf(QLatin1Char('/')) + 1);
            const QString mine = map.nameOf(input.clips.at(i));
            if (!mine.isEmpty()) {
                give(slot, mine);
                given.insert(mine, input.clips.at(i));
            }
        }
        // Layout names next, in path order, so a suffixed name never takes
        // the layout name of a clip that comes later.
        QList<int> apart;
        for (int i = 0; i < clipCount; ++i) {
            Slot &slot = row[i];
            if (!slot.name.isEmpty())
                continue;
            const QString clip = input.clips.at(i);
            const QString layout = slot.job.output.mid(treeLength);
            QString owner = given.value(layout);
            if (owner.isEmpty())
                owner = map.clipOf(layout);
            if (!owner.isEmpty() && owner != clip) {
                slot.owner = owner;
                apart << i;
                continue;
            }
            give(slot, layout);
            given.insert(layout, clip);
            slot.unattributed = slot.done && !map.contains(layout);
        }
        for (const int i : std::as_const(apart)) {
            Slot &slot = row[i];
            const QString clip = input.clips.at(i);
            const QString layout = slot.job.output.mid(treeLength);
            const QString folder = layout.left(layout.lastIndexOf(QLatin1Char('/')) + 1);
            const int dot = int(slot.layoutName.lastIndexOf(QLatin1Char('.')));
            const QString stem = slot.layoutName.left(dot);
            const QString extension = slot.layoutName.mid(dot);
            const QString folders = distinguishingFolders(clip, slot.owner);
            for (int number = folders.isEmpty() ? 2 : 1;; ++number) {
                QString candidate = stem;
                if (!folders.isEmpty())
                    candidate += QLatin1Char('_') + folders;
                if (number > 1)
                    candidate += QLatin1Char('_') + QString::number(number);
                candidate = folder + candidate + extension;
                if (!given.contains(candidate) && !map.contains(candidate)
                    && !input.existing.contains(slot.job.tree + QLatin1Char('/') + candidate)) {
                    give(slot, candidate);
                    given.insert(candidate, clip);
                    break;
                }
            }
        }
        table << row;
        maps << map;
    }

    for (int i = 0; i < clipCount; ++i) {
        const QString clip = input.clips.at(i);
        const Verdict verdict = filter ? filter(clip) : Verdict::Accept;
        if (verdict == Verdict::Stop) {
            result.jobs.clear();
            result.records.clear();
            result.stopped = true;
            result.stoppedAt = clip;
            return result;
        }
        if (verdict == Verdict::Skip)
            continue;
        ++result.acceptedClips;

        QStringList existing;
        QStringList unattributed;
        QMap<QString, QStringList> apartFrom;   // owner -> this clip's names beside it
        for (int k = 0; k < table.size(); ++k) {
            const Slot &slot = table.at(k).at(i);
            PlannedJob planned;
            planned.job = slot.job;
            planned.done = slot.done;
            if (!slot.owner.isEmpty())
                planned.note = QStringLiteral("named apart: %1 has %2").arg(slot.owner, slot.layoutName);
            else if (slot.unattributed)
                planned.note = QStringLiteral("an existing file the name map does not know, taken as this clip's by its name");
            result.jobs << planned;
            if (slot.done) {
                existing << native(slot.job.output);
                if (slot.unattributed)
                    unattributed << native(slot.job.output);
            } else if (!maps.at(k).contains(slot.name)) {
                result.records << NameRecord{slot.job.tree, slot.name, clip};
            }
            if (!slot.owner.isEmpty())
                apartFrom[slot.owner] << native(slot.job.output);
        }
        for (auto it = apartFrom.cbegin(); it != apartFrom.cend(); ++it)
            result.notes << QStringLiteral("Named apart for %1, since %2 has its usual names: %3")
                                .arg(clip, it.key(), it.value().join(QStringLiteral(", ")));
        if (!existing.isEmpty())
            result.notes << QStringLiteral("Skipped for %1, the output exists: %2")
                                .arg(clip, existing.join(QStringLiteral(", ")));
        if (!unattributed.isEmpty())
            result.notes << QStringLiteral("No name map says which clip made %1; taken as done for %2, whose "
                                           "layout name it has")
                                .arg(unattributed.join(QStringLiteral(", ")), clip);
    }
    return result;
}

TranscodePlanner::TreeContents TranscodePlanner::readOutputTrees(Input &input)
{
    TreeContents contents;
    for (const Preset preset : std::as_const(input.presets)) {
        const QString tree = treeOf(preset, input.outputRoot);
        const QString mapPath = native(QDir(tree).filePath(OutputNameMap::fileName()));
        OutputNameMap map(tree);
        if (!map.load()) {
            // Without it, names given before could go to other clips.
            contents.ok = false;
            contents.error = QStringLiteral("The name map %1 cannot be read (%2), so nothing was queued. Make it "
                                            "readable and press \"Begin...\" again.")
                                 .arg(mapPath, map.errorString());
            return contents;
        }
        if (map.ignoredLines() > 0) {
            contents.notes << QStringLiteral("%1 line(s) of the name map %2 are damaged (not of its form, or a "
                                             "name longer than a file system allows) and were left out")
                                  .arg(map.ignoredLines())
                                  .arg(mapPath);
        }
        if (map.refusedLines() > 0) {
            contents.notes << QStringLiteral("%1 line(s) of the name map %2 give names outside its tree (absolute, "
                                             "with \"..\" or a line break) and were refused")
                                  .arg(map.refusedLines())
                                  .arg(mapPath);
        }
        input.maps.insert(tree, map);
        QDirIterator it(tree, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString name = it.fileName();
            if (PartialFile::isPartialName(name))
                contents.partials.append(path);
            else if (name != OutputNameMap::fileName() && name != OutputNameMap::lockFileName())
                input.existing.insert(path);
        }
    }
    return contents;
}
