#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

// Writes dbclient.cache in the local root: a fixed header, then one
// six-line record per synced clip. The file is opened in text mode: line
// ends are CR LF on Windows.
//
// A run writes a temporary file of its own beside it, named with the host
// and the process (.dbclient.cache.<host>-<pid>.partial, as the encoder's
// outputs are), flushed record by record, and renames it over the previous
// file at the end (also after a cancel or a lost connection, then with the
// records completed so far). A write that fails, a full disk say, leaves
// the previous file as it was and removes the temporary one. The next run
// removes the leftovers of this host's runs that are no longer running and
// keeps those of other workstations, which may still be writing them.
class CacheFile
{
public:
    static constexpr char fileName[] = "dbclient.cache";

    CacheFile() = default;
    CacheFile(const CacheFile &) = delete;
    CacheFile &operator=(const CacheFile &) = delete;
    ~CacheFile();

    // Starts the temporary file for path and writes the header.
    bool begin(const QString &path);
    bool addRecord(const QString &clipPath, const QByteArray &md5, const QByteArray &sha1, int shotId);
    // Writes out what is pending and puts the new file in place of the old
    // one; after a failed write, removes the new file and keeps the old one.
    bool end();

    // Empty while every write succeeded; else what went wrong first.
    QString error() const { return firstError; }

private:
    bool check();
    void fail(const QString &what);

    QString targetPath;
    QFile file;
    QTextStream stream;
    QString firstError;
};

// Removes the temporary files of finalPath left by runs of this host that
// are no longer running (see PartialFile::classify).
void removeStaleTemporaries(const QString &finalPath);

// Puts the file at from in place of the file at to in one step, so a reader
// sees either the old or the new file whole. Writes from's content out to the
// disk first. Empty on success, else the reason.
QString replaceFile(const QString &from, const QString &to);
