#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Files below a sync root as the sync's tests make and read them: clips of
// reproducible bytes, and the cache file's bytes as the client writes them.

// The cache file's line ending on this platform.
extern const QByteArray eol;
// The cache file's opening lines, all a file of no clips holds.
extern const QByteArray cacheHeader;
// One clip's record in the cache file.
QByteArray cacheRecord(const QString &path, const QByteArray &md5, const QByteArray &sha1, int id);

// size bytes that the same seed always gives again.
QByteArray randomBytes(qint64 size, quint32 seed);
// Creates a file below root with its parent folders. Returns its path.
QString createFile(const QString &root, const QString &path, const QByteArray &content);
// A file's content, or "<missing>" when it cannot be read.
QByteArray readFile(const QString &path);

// Keeps the debug lines (the sync's trace) written while it lives, and
// passes them on as well.
class DebugTraces
{
public:
    DebugTraces();
    ~DebugTraces();
    DebugTraces(const DebugTraces &) = delete;
    DebugTraces &operator=(const DebugTraces &) = delete;

    QStringList lines() const;

private:
    QtMessageHandler previous;
};
