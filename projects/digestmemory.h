#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

struct ClipEntry;

// What a sync remembers of each clip it hashed, so a quick re-sync can take
// the digests of a clip whose size and modification time are unchanged
// instead of reading it again. Kept in its own file beside the cache file,
// so the cache file's format stays as it is:
//
//   TaveloClient Clip Digests
//   1
//   <size>\t<modified ns>\t<hashed ns>\t<md5>\t<sha1>\t<path>     (one line per clip)
//
// Sizes in bytes, times in nanoseconds since the epoch, digests in lowercase
// hexadecimal, the path relative to the root (it never holds a line break:
// such clips are not synced). The file is replaced in one step; one that is
// missing, unreadable or not exactly in this form is ignored as a whole.
class DigestMemory
{
public:
    static constexpr char fileName[] = "dbclient.digests";

    // A clip modified this shortly before it was hashed may have been
    // written again within the same time stamp: it is hashed again.
    static constexpr qint64 settleNs = 2'000'000'000;

    struct Entry
    {
        qint64 size = -1;
        qint64 modifiedNs = 0;
        qint64 hashedNs = 0;    // when the read that gave the digests began
        QByteArray md5;
        QByteArray sha1;
    };

    // Replaces what is held by the file's entries. False, with the reason in
    // problem, when the file is missing, unreadable or malformed; then
    // nothing is held.
    bool load(const QString &path, QString *problem = nullptr);
    // Writes the file through a temporary one. Empty on success, else why not.
    QString save(const QString &path) const;

    // The remembered digests of the clip when its size and modification time
    // are those it had when it was hashed, and it had settled by then.
    const Entry *unchanged(const ClipEntry &clip) const;
    const Entry *find(const QString &path) const;

    void remember(const QString &path, const Entry &entry) { entries.insert(path, entry); }
    int count() const { return int(entries.size()); }
    bool isEmpty() const { return entries.isEmpty(); }

private:
    QHash<QString, Entry> entries;
};
