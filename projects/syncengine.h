#pragma once

#include "projects/cachefile.h"
#include "files/clipfinder.h"
#include "projects/cliphasher.h"
#include "projects/digestmemory.h"
#include "projects/shotrecorder.h"
#include "projects/syncclipresult.h"
#include "files/synclock.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

struct SyncProgress
{
    int clipsDone = 0;
    int clipsTotal = -1;        // -1 while the clips are still being listed
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    double bytesPerSecond = 0;
    QString currentClip;
    int mediaDone = 0;          // clips whose media was read
    int mediaTotal = 0;         // clips whose media is to be read, so far
    QString currentMedia;       // the clip whose media is being read

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

    // The clips' media (facts and posters), read once per content.
    bool mediaOff = false;      // not asked for (tavelo-sync --no-media)
    QString mediaHint;          // why media was not read and how to turn it on
    int mediaRead = 0;          // contents whose facts (or problem) were stored
    int posters = 0;            // posters stored
    int mediaLeft = 0;          // contents whose media the run did not get to
    QList<QPair<QString, QString>> mediaProblems;   // path, why it is not readable as video
    QString mediaError;         // the facts could not be stored

    // 0 all synced, 1 some clips skipped (or the cache file or the media
    // facts failed, or a cancel), 2 refused before anything was written, 3 a
    // database failure.
    int exitCode() const;
    QString text() const;
};

// Synchronises the clips below a local root with the shots database: every
// clip is hashed, looked up by its digests, inserted for the project when no
// shot has them, and recorded with its shot id in the root's cache file.
// Each content whose media has not been read yet is read too (facts and a
// poster, see MediaReader), when the database has the media tables.
//
// The engine keeps the run, the walk and the files; the statements are the
// ShotRecorder's, a batch at a time. The walk and the hashing run on a
// thread of their own, one clip after the other (parallel reads make
// spinning disks seek); the media reading on a second one, fed with each
// new content as soon as its batch is recorded, so it overlaps the hashing
// of the clips after it while the clip is still in the page cache. Neither
// thread is ever waited for: a read stuck on a device or a share that
// stopped answering must not freeze whoever cancels, so a cancel or the
// destructor lets go of them and they end by themselves once their read
// returns (a media reading gives up after 10 s). The statements run on the
// thread that owns this object, which must be the thread that opened the
// connection: a Qt SQL connection belongs to its thread. No widget is
// involved, so both the client and the command-line companion run it.
//
// A run holds the root's SyncLock from start to end: a second sync of the
// same root is refused while one runs.
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
    // Whether to read the clips' media (on by default; it needs the tables).
    void setMediaEnabled(bool on) { mediaEnabled = on; }

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
    // Media reading threads still running, likewise.
    static int mediaThreads();

signals:
    void progressChanged(const SyncProgress &progress);
    void clipFinished(const SyncClipResult &clip);
    void finished(const SyncSummary &summary);

private:
    struct HashJob;
    struct MediaJob;
    struct Hashed
    {
        int index;
        ClipHasher::Result digests;
        qint64 hashedNs = 0;
        bool remembered = false;
    };

    void listed(const ClipWalk &walk);
    void clipHashed(const Hashed &hashed);
    // Records the open batch: cache records, reports and media jobs follow
    // its commit. False when the sync had to stop.
    bool commitBatch();
    bool commitMedia();
    void mediaRead(const MediaJob &job, const MediaReading &reading);
    // Ends the run once every clip is recorded and every media job done.
    void finishWhenDone();
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
    bool mediaEnabled = true;

    bool running = false;
    bool isListed = false;
    QList<ClipEntry> clips;
    qint64 bytesTotal = 0;
    int clipsDone = 0;
    SyncSummary result;
    SyncLock lock;
    CacheFile cache;
    DigestMemory previousDigests;
    DigestMemory newDigests;
    std::unique_ptr<ShotRecorder> recorder;
    // Size and modification time of each clip as it was hashed, so its
    // media is read only from the same file.
    QHash<int, QPair<qint64, qint64>> hashedState;

    QElapsedTimer batchClock;
    QTimer commitTimer;
    bool recording = false;     // reporting the clips of a committed batch
    bool cancelWanted = false;  // a cancel came meanwhile
    int mediaQueued = 0;
    int mediaDone = 0;
    QList<int> matchedIds;   // shot ids matched, for the projects they belong to

    std::shared_ptr<HashJob> job;
    QElapsedTimer clock;
    QTimer progressTimer;
};
