#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

// Writes dbclient.cache in the local root: a fixed header, then one
// six-line record per synced clip. Each record is flushed to the file as
// soon as it is written, so a sync cut short leaves every completed record.
// The file is opened in text mode: line ends are CR LF on Windows.
class CacheFile
{
public:
    static constexpr char fileName[] = "dbclient.cache";

    CacheFile() = default;
    CacheFile(const CacheFile &) = delete;
    CacheFile &operator=(const CacheFile &) = delete;

    // Truncates the file at path and writes the header.
    bool begin(const QString &path);
    bool addRecord(const QString &clipPath, const QByteArray &md5, const QByteArray &sha1, int shotId);
    // Writes out what is pending and closes the file.
    bool end();

    // Empty while every write succeeded; else what went wrong first.
    QString error() const { return firstError; }

private:
    bool check();

    QFile file;
    QTextStream stream;
    QString firstError;
};
