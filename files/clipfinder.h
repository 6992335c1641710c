#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>

struct stat;

// One clip below the local root's "raw" directory.
struct ClipEntry
{
    QString path;          // relative to the root: "raw/CardA/00012.MTS", '/' on every platform
    QString absolutePath;
    qint64 size = 0;
    // Last modification, in nanoseconds since the epoch, as precise as the
    // file system keeps it.
    qint64 modifiedNs = 0;
};

// Something below "raw" that looks like a clip, or a folder, that the walk
// could not take, and why. Paths of folders end in '/'.
struct SkippedEntry
{
    QString path;    // undecodable bytes and control characters shown escaped ("caf\xE9.MTS")
    QString reason;
};

struct ClipWalk
{
    QList<ClipEntry> clips;         // sorted by path
    QList<SkippedEntry> skipped;    // sorted by path
    bool rawMissing = false;        // the root has no "raw" folder at all
    bool cancelled = false;
};

// The one rule for what a clip is, shared by the sync and the transcode scan:
// a regular file (after following symbolic links) at any depth below
// root/raw whose name's complete suffix is exactly "MTS". Hidden entries are
// left out and symbolic links to folders are not followed. Everything else
// named like a clip (a FIFO, a device, a folder link, a dangling link), every
// folder that cannot be listed, every path that is not valid UTF-8 or holds a
// line break is reported as skipped, so nothing is left out in silence.
namespace ClipFinder {
// True for a camera clip's file name: everything after the first '.' is
// exactly "MTS" (so "x.mts" and "x.part.MTS" are not clips).
bool isClipName(const QString &fileName);

// Every clip and every skipped entry below rootPath/raw. Never opens a file,
// so a FIFO or a device cannot block it. Stops early, with cancelled set,
// once *cancel turns true.
ClipWalk walk(const QString &rootPath, const std::atomic_bool *cancel = nullptr);

// The clips of walk(), sorted by path so repeated runs list them in the same
// order. An absent raw directory gives no clips.
QList<ClipEntry> findClips(const QString &rootPath);

#ifndef Q_OS_WIN
// A file's last modification in nanoseconds since the epoch, as precise as
// the file system keeps it.
qint64 modifiedNs(const struct stat &status);
#endif

// Why rootPath cannot serve as the local root ("the folder ... cannot be
// entered: Permission denied"), or empty when it can: it must be an existing
// folder that can be entered and listed.
QString rootProblem(const QString &rootPath);

// A file name's bytes for people: valid UTF-8 as it is, line breaks and other
// control characters as \n, \r, \t or \xNN, undecodable bytes as \xNN.
QString escapedName(const QByteArray &bytes);
} // namespace ClipFinder
