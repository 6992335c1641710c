#pragma once

#include <QByteArray>
#include <QString>

// What became of one clip in a sync.
struct SyncClipResult
{
    enum class Outcome { Matched, Inserted, Skipped };

    QString path;
    Outcome outcome = Outcome::Skipped;
    int shotId = 0;
    QByteArray md5;
    QByteArray sha1;
    bool remembered = false;   // digests taken from the previous sync, not read again
    QString reason;   // why a skipped clip was skipped

    // One line for people: "inserted  12  raw/A/00001.MTS".
    QString text() const;
};
