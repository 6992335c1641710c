#pragma once

#include "db/dbworker.h"
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
    QString error;        // why the sync was refused or stopped (or cancelled before it began)

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
// The engine keeps the run, the walk, the files and the threads that read
// them; it lives on the thread that created it (the GUI thread in the
// client) and never waits there for the server. The walk and the hashing
// run on a thread of their own, one clip after the other (parallel reads
// make spinning disks seek); the media reading on a second one, fed with
// each new content as soon as its batch is recorded, so it overlaps the
// hashing of the clips after it while the clip is still in the page cache.
// Neither thread is ever waited for: a read stuck on a device or a share
// that stopped answering must not freeze whoever cancels, so a cancel or
// the destructor lets go of them and they end by themselves once their
// read returns (a media reading gives up after 10 s).
//
// Every statement runs on a database thread of the engine's own (a DbWorker
// with a copy of the connection's login): the project check, each batch of
// the ShotRecorder, each store of media facts and the look-up of other
// projects are jobs there, run in order, each through a StatementRunner of
// its own (one reopen of a lost connection per job); their results come
// back to this thread. A cancel gives the jobs in flight a short grace and
// then cuts the waiting statement off, so it is answered within a second
// however the server behaves. No widget is involved, so both the client and
// the command-line companion run it.
//
// A run holds the root's SyncLock from start to end: a second sync of the
// same root is refused while one runs, and so is one that may not take the
// lock (another user's lock file).
class SyncEngine : public QObject
{
    Q_OBJECT

public:
    using HashFunction = std::function<ClipHasher::Result(const QString &path, const std::atomic_bool *cancel,
                                                          const ClipHasher::ProgressFunction &progress)>;

    // How long a cancel lets the statements in flight finish (a healthy
    // server commits a batch in far less) before it cuts them off, and how
    // long it then waits for them to say so.
    static constexpr int cancelGraceMs = 500;
    static constexpr int cutOffWaitMs = 300;

    // connectionName names the connection whose login the run's database
    // thread copies; it need not be open (the thread opens its own).
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

    // Checks the root and takes its lock, then has the project checked on
    // the database thread and starts the cache file and the walk once it is;
    // returns at once. finished() follows, also when refused.
    void start();
    // Stops: the clip being hashed is abandoned, the clips already hashed
    // are recorded if the server takes them within cancelGraceMs, and
    // finished() follows within about a second (at once when nothing waits
    // for the server). Whatever was recorded stays and the cache file stays
    // well formed.
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
    struct Checked;
    enum class Stage {
        Idle,
        Checking,   // the project is being checked; nothing is written yet
        Syncing,    // walking, hashing and recording
        Stopping,   // cancelled: the jobs in flight get their grace
        Finishing,  // looking up the other projects of matched shots
    };

    void checked(const Checked &check);
    // Starts the cache file, the digests and the walk.
    void begin();
    void listed(const ClipWalk &walk);
    void clipHashed(const Hashed &hashed);
    // Hands the open batch to the database thread, and the media facts
    // read so far after it.
    void postBatch();
    void postMedia();
    void batchRecorded(const ShotRecorder::Outcome &outcome);
    void mediaStored(const ShotRecorder::MediaOutcome &outcome);
    void mediaRead(const MediaJob &job, const MediaReading &reading);
    // What follows a job's result: the end of a run whose work is done, or
    // of a cancel whose jobs are back.
    void advance();
    void finishWhenDone();
    void report(const SyncClipResult &clip);
    void rememberClip(const ClipEntry &clip, const Hashed &hashed);
    void writeTraces(const QList<ShotRecorder::Trace> &traces);
    // What a store that came back with nothing stored means: a cancel goes
    // on stopping, anything else ends the run as failed. False when stored.
    bool endsUnstored(bool stored, StatementFailure failure, const QString &error);
    // Posts work for this run; its continuation is dropped when the run is
    // over by then.
    void post(const std::function<std::function<void()>(StatementRunner &runner)> &work, const QString &what);
    // Ends the run with status: looks up the projects of matched shots
    // first, unless the database failed or the statements were cut off.
    void finish(SyncSummary::Status status, const QString &error = QString());
    void findOtherProjects();
    // Writes the cache file and the digests, releases the lock, says so.
    void complete();
    void cutOff();
    void letGoOfThread();

    QString rootPath;
    int projectId;
    QString connectionName;
    HashFunction hashFunction;
    bool changedOnly = false;
    bool mediaEnabled = true;

    bool running = false;
    Stage stage = Stage::Idle;
    bool begun = false;         // the cache file and the walk were started
    bool isListed = false;
    QList<ClipEntry> clips;
    qint64 bytesTotal = 0;
    int clipsDone = 0;
    SyncSummary result;
    SyncSummary::Status endStatus = SyncSummary::Status::Completed;
    QString endError;
    SyncLock lock;
    CacheFile cache;
    DigestMemory previousDigests;
    DigestMemory newDigests;
    // Size and modification time of each clip as it was hashed, so its
    // media is read only from the same file.
    QHash<int, QPair<qint64, qint64>> hashedState;

    // The database side: its thread, and the recorder that lives there
    // (only the jobs touch it).
    std::unique_ptr<DbWorker> worker;
    std::shared_ptr<ShotRecorder> recorder;
    quint64 runNumber = 0;      // a continuation of an earlier run is dropped
    int jobsInFlight = 0;       // posted, their results not back yet
    bool cut = false;           // the jobs in flight were cut off

    QList<ShotRecorder::Clip> openBatch;
    int clipsPosted = 0;        // clips handed to batches
    QList<ShotRecorder::MediaRow> pendingMedia;
    bool mediaRefused = false;  // the server refused the media facts: no more are stored

    QElapsedTimer batchClock;
    QTimer commitTimer;
    QTimer graceTimer;
    QTimer cutOffTimer;
    bool recording = false;     // reporting the clips of a committed batch
    int mediaQueued = 0;
    int mediaDone = 0;
    QList<int> matchedIds;   // shot ids matched, for the projects they belong to

    std::shared_ptr<HashJob> job;
    QElapsedTimer clock;
    QTimer progressTimer;
};
