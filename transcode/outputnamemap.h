#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

// The names given to outputs in one output tree (for instance
// transcode/720p/MP4), and the clip each was given to. Cameras restart their
// numbering on every card, so two clips can want the same output name; the
// map makes sure a name, once given, stays with its clip, and that an output
// is only ever taken as done for the clip it was made from.
//
// It lives in the tree as the file ".tavelo-sources", UTF-8 text:
//   # Tavelo output names 1
//   raw/Day1/00001.mov<TAB>raw/Day1/CardA/00001.MTS
//   raw/Day1/00001_CardB.mov<TAB>raw/Day1/CardB/00001.MTS
// one line per name: the output relative to the tree, a tab, the clip
// relative to the local root, both with "/". A backslash, tab, line feed or
// carriage return in a path is written as \\, \t, \n or \r. Lines that are
// not of this form, or that name a path no file system can hold, are
// ignored (and counted), so a damaged line costs only its own entry. A
// name that would put an output outside the tree (absolute, with a ".."
// folder or a line break) is refused and counted apart: anyone who can
// write the file on a shared disk must not be able to make a workstation
// write elsewhere.
//
// The map is read and changed only under the lock ".tavelo-sources.lock"
// beside it (see lockPath()): names are planned and recorded under it, and
// a finished encode takes its name under it, so two workstations sharing a
// tree never give one name to two clips. The lock file stays in the tree;
// the lock is the system's lock on it, not its presence.
class OutputNameMap
{
public:
    static QString fileName();
    static QString lockFileName();
    static QString header();
    // The lock file of the map of tree.
    static QString lockPath(const QString &treePath);
    // Whether name (relative to a tree) stays inside the tree.
    static bool isSafeName(const QString &name);
    // Whether a file system can hold path (relative, "/" between its
    // parts): no part longer than maxComponentBytes, the whole no longer
    // than maxPathBytes, in UTF-8. A map line naming a longer path is
    // damaged: no file can have that name.
    static constexpr int maxComponentBytes = 255;
    static constexpr int maxPathBytes = 4096;
    static bool fitsFileSystem(const QString &path);
    // Whether path lies below tree (both absolute).
    static bool isInside(const QString &path, const QString &treePath);

    OutputNameMap() = default;
    explicit OutputNameMap(const QString &treePath) : tree(treePath) {}

    QString treePath() const { return tree; }

    // Reads the map file of the tree. A missing file is an empty map and not
    // an error; false when it exists but cannot be read (errorString()).
    bool load();
    // Adds entries from text in the file's form; returns the lines ignored.
    int parse(const QByteArray &text);
    QByteArray serialize() const;

    // Adds the names given since load() and writes the file atomically. The
    // file is read again first, so names another client added meanwhile are
    // kept; a name already recorded for another clip is never taken over.
    bool save();

    // The clip that name was given to, or empty.
    QString clipOf(const QString &name) const { return clips.value(name); }

    // The clip the map file of a tree gives name to, read from the file as
    // it is now without loading the whole map (a finished job asks this of
    // a map of thousands of names).
    struct Owner
    {
        bool readable = true;
        QString error;   // why the file cannot be read
        QString clip;    // empty when no line gives the name
    };
    static Owner ownerOf(const QString &treePath, const QString &name);
    // The first name given to clip, or empty.
    QString nameOf(const QString &clip) const { return names.value(clip); }
    bool contains(const QString &name) const { return clips.contains(name); }
    // Gives name to clip unless it is already given; true when it was new.
    bool add(const QString &name, const QString &clip);
    int size() const { return int(order.size()); }
    int ignoredLines() const { return ignored; }
    // Lines whose name would leave the tree.
    int refusedLines() const { return refused; }
    QString errorString() const { return error; }

    static QString escape(const QString &path);
    static QString unescape(const QString &text, bool *ok);

private:
    QString tree;
    QHash<QString, QString> clips;    // name -> clip
    QHash<QString, QString> names;    // clip -> its first name
    QList<QPair<QString, QString>> order;
    QList<QPair<QString, QString>> added;
    int ignored = 0;
    int refused = 0;
    QString error;
};
