#pragma once

#include "projects/cachefile.h"
#include "projects/clipfinder.h"
#include "projects/cliphasher.h"
#include "projects/digestmemory.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

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
    bool remembered = false;   // digests taken from the previous sync, not read again
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
    QString projectName;
    int projectId = 0;
    QString rootPath;
    bool rawMissing = false;    // the root has no raw folder
    bool changedOnly = false;   // the quick mode was asked for
    int found = 0;              // clips, including those skipped
    int matched = 0;
    int inserted = 0;
    int skipped = 0;
    int remembered = 0;         // digests taken from the previous sync
    int reconnects = 0;         // times the connection was reopened
    QList<QPair<QString, QString>> skippedClips;   // path, reason (a folder's path ends in '/')
    QList<QPair<QString, int>> otherProjects;      // project, clips that matched its shots
    QString memoryNote;   // why the previous sync's digests could not be used
    QString cacheError;
    QString memoryError;  // the digests could not be remembered
    QString error;        // why the sync was refused or stopped

    // 0 all synced, 1 some clips skipped (or the cache file failed, or a
    // cancel), 2 refused before anything was written, 3 a database failure.
    int exitCode() const;
    QString text() const;
};

// Synchronises the clips below a local root with the shots database: every
// clip is hashed, looked up by its digests, inserted for the project when no
// shot has them, and recorded with its shot id in the root's cache file.
//
// The walk and the hashing run on a thread of their own, one clip after the
// other (parallel reads make spinning disks seek). That thread is never
// waited for: a read stuck on a device or a share that stopped answering
// must not freeze whoever cancels, so a cancel or the destructor lets go of
// it and it ends by itself once its read returns. The statements run on the
// thread that owns this object, which must be the thread that opened the
// connection: a Qt SQL connection belongs to its thread. No widget is
// involved, so both the client and the command-line companion run it.
class SyncEngine : public QObject
{
    Q_OBJECT

public:
    using HashFunction = std::function<ClipHasher::Result(const QString &path, const std::atomic_bool *cancel,
                                                          const ClipHasher::ProgressFunction &progress)>;

    SyncEngine(const QString &rootPath, int projectId,
               const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection),
               QObject *parent = nullptr);
    ~SyncEngine() override;

    void setHasher(const ClipHasher &hasher);
    // Replaces the hashing of one file (tests use it to play a stuck read).
    void setHashFunction(const HashFunction &function) { hashFunction = function; }
    // Quick re-sync: a clip whose size and modification time are those it
    // had when the previous sync hashed it keeps its digests unread.
    void setChangedOnly(bool on) { changedOnly = on; }

    // Checks the root and the project, starts the cache file and the walk;
    // returns at once. finished() follows, also when refused.
    void start();
    // Stops at once: the clip being hashed is abandoned, whatever was written
    // before it stays and the cache file stays well formed.
    void cancel();
    // start() and wait for the end in a local event loop.
    SyncSummary run();

    bool isRunning() const { return running; }
    SyncProgress progress() const;
    SyncSummary summary() const { return result; }

    // Hashing threads still running: the one of a run in progress, and any
    // let go of while stuck in a read. A program that ends while one runs
    // should end without running static destructors under it (tavelo-sync
    // calls _Exit then).
    static int abandonedThreads();

signals:
    void progressChanged(const SyncProgress &progress);
    void clipFinished(const SyncClipResult &clip);
    void finished(const SyncSummary &summary);

private:
    struct HashJob;
    struct Hashed
    {
        int index;
        ClipHasher::Result digests;
        qint64 hashedNs = 0;
        bool remembered = false;
    };
    struct Pending
    {
        int index;
        Hashed hashed;
        SyncClipResult outcome;
    };
    enum class Step { Done, Retry, Stopped };

    void listed(const ClipWalk &walk);
    void clipHashed(const Hashed &hashed);
    Step syncClip(const ClipEntry &clip, const Hashed &hashed, SyncClipResult &outcome);
    bool prepareStatements();
    // After a failed statement: Retry once the connection was reopened,
    // Stopped when it is gone for good (the sync has then stopped), Done when
    // only this statement was refused.
    Step handleFailure(const QString &clipPath, const QSqlError &error);
    bool commitBatch();
    // After a reconnect: looks the clips of the lost transaction up again
    // on the new connection; false when the sync had to stop.
    bool redoLostBatch();
    void report(const SyncClipResult &clip);
    void rememberClip(const ClipEntry &clip, const Hashed &hashed);
    void finish(SyncSummary::Status status, const QString &error = QString());
    void findOtherProjects();
    void letGoOfThread();

    QString rootPath;
    int projectId;
    QString connectionName;
    HashFunction hashFunction;
    bool changedOnly = false;

    bool running = false;
    bool isListed = false;
    QList<ClipEntry> clips;
    qint64 bytesTotal = 0;
    int clipsDone = 0;
    SyncSummary result;
    CacheFile cache;
    DigestMemory previousDigests;
    DigestMemory newDigests;
    std::unique_ptr<QSqlQuery> lookup;
    std::unique_ptr<QSqlQuery> insert;

    // Clips whose rows are in the open transaction; their cache records are
    // written once it is committed.
    QList<Pending> pending;
    bool inTransaction = false;
    QElapsedTimer batchClock;
    QTimer commitTimer;
    int retriesLeft = 1;
    QList<int> matchedIds;   // shot ids matched, for the projects they belong to

    std::shared_ptr<HashJob> job;
    QElapsedTimer clock;
    QTimer progressTimer;
};
