#pragma once

#include "projects/cachefile.h"
#include "projects/clipfinder.h"
#include "projects/cliphasher.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

class QSqlError;
class QSqlQuery;

struct SyncClipResult
{
    enum class Outcome { Matched, Inserted, Skipped };

    QString path;
    Outcome outcome = Outcome::Skipped;
    int shotId = 0;
    QByteArray md5;
    QByteArray sha1;
    QString reason;   // why a skipped clip was skipped

    // One line for people: "inserted  12  raw/A/00001.MTS".
    QString text() const;
};

struct SyncProgress
{
    int clipsDone = 0;
    int clipsTotal = -1;        // -1 while the clips are still being listed
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    double bytesPerSecond = 0;
    QString currentClip;

    QString text() const;
};

struct SyncSummary
{
    enum class Status {
        Completed,       // every clip was looked at (some may be skipped)
        Cancelled,       // stopped by the user; what was written stays
        Refused,         // nothing was written: no usable connection or no such project
        DatabaseFailed,  // the connection was lost mid-run; what was written stays
    };

    Status status = Status::Completed;
    int found = 0;
    int matched = 0;
    int inserted = 0;
    int skipped = 0;
    QList<QPair<QString, QString>> skippedClips;   // path, reason
    QString cacheError;
    QString error;   // why the sync was refused or stopped

    // 0 all synced, 1 some clips skipped (or the cache file failed, or a
    // cancel), 2 refused before anything was written, 3 a database failure.
    int exitCode() const;
    QString text() const;
};

// Synchronises the clips below a local root with the shots database: every
// clip is hashed, looked up by its digests, inserted for the project when no
// shot has them, and recorded with its shot id in the root's cache file.
//
// Hashing runs on a thread of its own, one clip after the other (parallel
// reads make spinning disks seek). The statements run on the thread that
// owns this object, which must be the thread that opened the connection: a
// Qt SQL connection belongs to its thread. No widget is involved, so both the
// client and the command-line companion run it.
class SyncEngine : public QObject
{
    Q_OBJECT

public:
    SyncEngine(const QString &rootPath, int projectId,
               const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection),
               QObject *parent = nullptr);
    ~SyncEngine() override;

    void setHasher(const ClipHasher &hasher) { clipHasher = hasher; }

    // Checks the project, rewrites the cache file's header and starts
    // hashing; returns at once. finished() follows, also when refused.
    void start();
    // Stops at once: the clip being hashed is abandoned, whatever was written
    // before it stays and the cache file stays well formed.
    void cancel();
    // start() and wait for the end in a local event loop.
    SyncSummary run();

    bool isRunning() const { return running; }
    SyncProgress progress() const;
    SyncSummary summary() const { return result; }

signals:
    void progressChanged(const SyncProgress &progress);
    void clipFinished(const SyncClipResult &clip);
    void finished(const SyncSummary &summary);

private:
    struct Hashed
    {
        int index;
        ClipHasher::Result digests;
    };

    void hashAll();
    void clipsListed(const QList<ClipEntry> &found);
    void clipHashed(const Hashed &hashed);
    bool syncClip(const ClipEntry &clip, const ClipHasher::Result &digests, SyncClipResult &outcome);
    // After a failed statement: true (and the sync stopped) when the
    // connection is gone; false when only this statement was refused.
    bool stopIfConnectionLost(const QString &clipPath, const QSqlError &error);
    void report(const SyncClipResult &clip);
    void finish(SyncSummary::Status status, const QString &error = QString());

    QString rootPath;
    int projectId;
    QString connectionName;
    ClipHasher clipHasher;

    bool running = false;
    bool listed = false;
    QList<ClipEntry> clips;
    qint64 bytesTotal = 0;
    int clipsDone = 0;
    SyncSummary result;
    CacheFile cache;
    std::unique_ptr<QSqlQuery> query;

    std::thread hashThread;
    std::atomic_bool stopHashing{false};
    std::atomic<qint64> bytesHashed{0};
    std::atomic<int> hashingIndex{-1};
    QElapsedTimer clock;
    QTimer progressTimer;
};
