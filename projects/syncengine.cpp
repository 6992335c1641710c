#include "projects/syncengine.h"

#include "db/batchstatements.h"
#include "db/statementrunner.h"
#include "db/statements.h"
#include "media/mediatables.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QLocale>
#include <QMap>
#include <QSet>
#include <QSqlQuery>
#include <QVariant>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// How long the first clip of a batch waits for its record at most (a batch
// is also committed once it holds ShotRecorder::batchClips clips).
constexpr int batchMs = 200;
// A clip's record is written this long after its row at the latest, when no
// further clip follows (a large clip is being hashed).
constexpr int commitDelayMs = 20;
// Media facts are stored with the next batch of clips, or once as many as
// a batch are waiting, or at the end: each store is a transaction, and a
// commit waits for the server's disk.
constexpr int mediaBatch = ShotRecorder::batchClips;
// Clips whose media is not readable as video, named in the summary at most.
constexpr int problemsListed = 20;
// Shot ids per look-up of their projects, well below the server's limit on
// placeholders.
constexpr int otherProjectIdsPerStatement = 1000;

std::atomic<int> runningThreads{0};
std::atomic<int> runningMediaThreads{0};

QString bytesText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

qint64 nowNs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000000;
}

} // namespace

// A clip whose media is to be read, as the media thread gets it.
struct SyncEngine::MediaJob
{
    int index = -1;
    QString path;           // relative to the root, for the summary
    QString absolutePath;
    QByteArray md5;
    QByteArray sha1;
    qint64 size = -1;       // as it was hashed
    qint64 modifiedNs = 0;
};

// What the run's threads share with the engine: the hashing thread and the
// media thread hold it as long as they run, so it outlives an engine that
// let go of them; the engine clears receiver (under the mutex) before it
// lets go, and the threads post to the engine only while receiver is set.
struct SyncEngine::HashJob : std::enable_shared_from_this<HashJob>
{
    std::mutex mutex;
    SyncEngine *receiver = nullptr;
    std::atomic_bool stop{false};
    std::atomic<qint64> bytesHashed{0};
    std::atomic<int> hashingIndex{-1};
    std::atomic<int> readingIndex{-1};

    std::mutex mediaMutex;
    std::condition_variable mediaWake;
    std::deque<MediaJob> mediaQueue;
    bool mediaStarted = false;

    void post(const std::function<void(SyncEngine *)> &call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!receiver)
            return;
        SyncEngine *engine = receiver;
        HashJob *self = this;
        QMetaObject::invokeMethod(
            engine,
            [engine, self, call]() {
                // A result of an earlier run still queued is dropped.
                if (engine->job.get() == self && engine->running)
                    call(engine);
            },
            Qt::QueuedConnection);
    }

    // Hands a clip to the media thread, which starts with the first one.
    void queueMedia(const MediaJob &next)
    {
        std::lock_guard<std::mutex> lock(mediaMutex);
        mediaQueue.push_back(next);
        if (!mediaStarted) {
            mediaStarted = true;
            ++runningMediaThreads;
            std::thread([self = shared_from_this()]() {
                self->readMedia();
                --runningMediaThreads;
            }).detach();
        }
        mediaWake.notify_one();
    }

    // The media thread: one clip after the other until the run lets go.
    void readMedia()
    {
        for (;;) {
            MediaJob next;
            {
                std::unique_lock<std::mutex> lock(mediaMutex);
                mediaWake.wait(lock, [this] { return stop || !mediaQueue.empty(); });
                if (stop)
                    return;
                next = mediaQueue.front();
                mediaQueue.pop_front();
            }
            readingIndex = next.index;
            MediaReader::Options options;
            options.expectedSize = next.size;
            options.expectedModifiedNs = next.modifiedNs;
            options.cancel = &stop;
            const MediaReading reading = MediaReader::read(next.absolutePath, options);
            readingIndex = -1;
            post([next, reading](SyncEngine *engine) { engine->mediaRead(next, reading); });
        }
    }

    void release()
    {
        stop = true;
        {
            std::lock_guard<std::mutex> lock(mutex);
            receiver = nullptr;
        }
        std::lock_guard<std::mutex> lock(mediaMutex);
        mediaWake.notify_all();
    }
};

QString SyncClipResult::text() const
{
    switch (outcome) {
    case Outcome::Matched:
        return QStringLiteral("matched   %1  %2").arg(shotId).arg(path);
    case Outcome::Inserted:
        return QStringLiteral("inserted  %1  %2").arg(shotId).arg(path);
    case Outcome::Skipped:
        break;
    }
    return QStringLiteral("skipped   %1: %2").arg(path, reason);
}

QString SyncProgress::text() const
{
    QString line = clipsTotal < 0
        ? QStringLiteral("Looking for clips...")
        : QStringLiteral("%1 of %2 clips, %3 of %4")
              .arg(clipsDone)
              .arg(clipsTotal)
              .arg(bytesText(bytesDone), bytesText(bytesTotal));
    if (bytesPerSecond > 0)
        line += QStringLiteral(", %1/s").arg(bytesText(qint64(bytesPerSecond)));
    if (mediaTotal > 0)
        line += QStringLiteral("; media of %1 of %2 clips read").arg(mediaDone).arg(mediaTotal);
    return line;
}

int SyncSummary::exitCode() const
{
    switch (status) {
    case Status::Refused:
        return 2;
    case Status::DatabaseFailed:
        return 3;
    case Status::Cancelled:
        return 1;
    case Status::Completed:
        break;
    }
    return (!skippedClips.isEmpty() || !cacheError.isEmpty() || !memoryError.isEmpty() || !mediaError.isEmpty()) ? 1
                                                                                                                  : 0;
}

QString SyncSummary::text() const
{
    // Nothing was looked at: the reason is all there is to say.
    if (status == Status::Refused || (status == Status::Cancelled && !error.isEmpty()))
        return error;
    QStringList lines;
    const int folders = int(skippedClips.size()) - skipped;
    QString counts = QStringLiteral("Found %1 clips for project \"%2\": %3 matched, %4 inserted, %5 skipped")
                         .arg(found)
                         .arg(projectName)
                         .arg(matched)
                         .arg(inserted)
                         .arg(skipped);
    if (folders > 0)
        counts += QStringLiteral(", %1 folders not listed").arg(folders);
    lines << counts + QLatin1Char('.');
    const int left = found - matched - inserted - skipped;
    if (status == Status::Cancelled)
        lines << QStringLiteral("The sync was cancelled; %1 clips were not synced.").arg(left);
    if (status == Status::DatabaseFailed)
        lines << error << QStringLiteral("%1 clips were not synced.").arg(left);
    if (rawMissing)
        lines << QStringLiteral("There is no raw folder in %1, so there was nothing to sync: the clips are looked "
                                "for in %2. Is the local root set to the raw folder itself? Choose the folder that "
                                "holds it.")
                     .arg(QDir::toNativeSeparators(rootPath),
                          QDir::toNativeSeparators(rootPath + QLatin1String("/raw")));
    if (changedOnly) {
        lines << QStringLiteral("Only new or changed clips were read: %1 clips were taken from the previous sync.")
                     .arg(remembered);
        if (!memoryNote.isEmpty())
            lines << QStringLiteral("Every clip was read: %1.").arg(memoryNote);
    }
    if (!otherProjects.isEmpty()) {
        int clips = 0;
        QStringList parts;
        for (const auto &project : otherProjects) {
            clips += project.second;
            parts << QStringLiteral("%1 of %2").arg(project.second).arg(project.first);
        }
        lines << QStringLiteral("%1 clips matched shots of other projects (%2); those shots stay in their projects.")
                     .arg(clips)
                     .arg(parts.join(QLatin1String(", ")));
    }
    if (reconnects > 0)
        lines << QStringLiteral("The server had closed the connection; it was reopened %1 times.").arg(reconnects);
    if (!mediaHint.isEmpty())
        lines << mediaHint;
    if (mediaRead > 0 || !mediaProblems.isEmpty()) {
        QString media = QStringLiteral("Media read for %1 clips: %2 posters").arg(mediaRead).arg(posters);
        if (!mediaProblems.isEmpty())
            media += QStringLiteral(", %1 not readable as video").arg(mediaProblems.size());
        lines << media + QLatin1Char('.');
    }
    if (mediaLeft > 0)
        lines << QStringLiteral("The media of %1 clips was not read; the next sync reads it.").arg(mediaLeft);
    for (const auto &clip : skippedClips)
        lines << QStringLiteral("Skipped %1: %2").arg(clip.first, clip.second);
    for (int i = 0; i < mediaProblems.size() && i < problemsListed; ++i)
        lines << QStringLiteral("No media facts for %1: %2").arg(mediaProblems.at(i).first, mediaProblems.at(i).second);
    if (mediaProblems.size() > problemsListed)
        lines << QStringLiteral("... and %1 more clips whose media is not readable as video.")
                     .arg(mediaProblems.size() - problemsListed);
    if (!cacheError.isEmpty())
        lines << cacheError;
    if (!memoryError.isEmpty())
        lines << memoryError;
    if (!mediaError.isEmpty())
        lines << mediaError + QStringLiteral(". The next sync reads it again.");
    return lines.join(QLatin1Char('\n'));
}

SyncEngine::SyncEngine(const QString &rootPath, int projectId, const QString &connectionName, QObject *parent)
    : QObject(parent)
    , rootPath(QDir(rootPath).absolutePath())
    , projectId(projectId)
    , connectionName(connectionName)
{
    setHasher(ClipHasher());
    progressTimer.setInterval(100);
    connect(&progressTimer, &QTimer::timeout, this, [this]() { emit progressChanged(progress()); });
    commitTimer.setSingleShot(true);
    commitTimer.setInterval(commitDelayMs);
    connect(&commitTimer, &QTimer::timeout, this, [this]() {
        if (running && stage == Stage::Syncing)
            postBatch();
    });
    graceTimer.setSingleShot(true);
    graceTimer.setInterval(cancelGraceMs);
    connect(&graceTimer, &QTimer::timeout, this, &SyncEngine::cutOff);
    cutOffTimer.setSingleShot(true);
    cutOffTimer.setInterval(cutOffWaitMs);
    connect(&cutOffTimer, &QTimer::timeout, this, [this]() {
        // A job that did not come back even so (its thread is stuck
        // connecting) is let go of: its result is dropped.
        if (!running)
            return;
        jobsInFlight = 0;
        if (stage == Stage::Finishing)
            complete();
        else
            advance();
    });
}

SyncEngine::~SyncEngine()
{
    if (running) {
        // Destroyed mid-run: what was recorded stays, as after Cancel, but
        // nothing more is waited for (the window closes through cancel()).
        const QSignalBlocker quiet(this);
        cut = true;
        if (worker)
            worker->cancelAll();
        if (stage != Stage::Finishing) {
            endStatus = SyncSummary::Status::Cancelled;
            endError.clear();
        }
        complete();
    }
    letGoOfThread();
    // Cuts off a statement still waiting; waits for the thread a second at
    // most (it ends by itself when stuck connecting).
    worker.reset();
}

void SyncEngine::setHasher(const ClipHasher &hasher)
{
    hashFunction = [hasher](const QString &path, const std::atomic_bool *cancel,
                            const ClipHasher::ProgressFunction &progress) {
        return hasher.hashFile(path, cancel, progress);
    };
}

int SyncEngine::abandonedThreads()
{
    return runningThreads;
}

int SyncEngine::mediaThreads()
{
    return runningMediaThreads;
}

void SyncEngine::letGoOfThread()
{
    if (job)
        job->release();
}

struct SyncEngine::Checked
{
    StatementResult status;
    bool found = false;
    QString projectName;
    QString prepareError;
    QString mediaHint;
    bool reconnected = false;
};

void SyncEngine::post(const std::function<std::function<void()>(StatementRunner &runner)> &work, const QString &what)
{
    ++jobsInFlight;
    const quint64 run = runNumber;
    worker->post(
        this,
        [this, run, work](DbSession &session) -> DbWorker::Continuation {
            // On the database thread: only the work itself runs here.
            StatementRunner runner = session.runner();
            const std::function<void()> then = work(runner);
            return [this, run, then]() {
                if (run != runNumber)
                    return;
                --jobsInFlight;
                if (running)
                    then();
            };
        },
        what);
}

void SyncEngine::start()
{
    if (running)
        return;
    letGoOfThread();
    job.reset();
    ++runNumber;
    result = SyncSummary();
    result.projectId = projectId;
    result.rootPath = rootPath;
    result.changedOnly = changedOnly;
    stage = Stage::Idle;
    begun = false;
    isListed = false;
    clips.clear();
    clipsDone = 0;
    hashedState.clear();
    batchClock.invalidate();
    openBatch.clear();
    clipsPosted = 0;
    pendingMedia.clear();
    mediaRefused = false;
    jobsInFlight = 0;
    cut = false;
    mediaQueued = 0;
    mediaDone = 0;
    recording = false;
    matchedIds.clear();

    const QString rootProblem = ClipFinder::rootProblem(rootPath);
    if (!rootProblem.isEmpty()) {
        finish(SyncSummary::Status::Refused, rootProblem + QStringLiteral(" Nothing was synced."));
        return;
    }
    // One run per root at a time: a second one would overwrite the cache
    // file the first is writing. A root that cannot hold the lock file
    // cannot hold a cache file either, which the run then reports.
    switch (lock.take(rootPath)) {
    case SyncLock::Result::Held:
        finish(SyncSummary::Status::Refused,
               QStringLiteral("Another sync of %1 is running (%2). Wait until it has finished and sync again; "
                              "nothing was synced.")
                   .arg(QDir::toNativeSeparators(rootPath), lock.holder()));
        return;
    case SyncLock::Result::Denied:
        // Going on without it would let two syncs run unnoticed.
        finish(SyncSummary::Status::Refused,
               lock.holder().isEmpty()
                   ? QStringLiteral("This sync cannot keep other syncs of %1 away: %2. Ask %3 or an administrator "
                                    "to remove the file (no sync holds it now) and sync again; users who share a "
                                    "root need a umask of 002 to take each other's lock files. Nothing was synced.")
                         .arg(QDir::toNativeSeparators(rootPath), lock.deniedText(), lock.owner())
                   : QStringLiteral("Another sync of %1 is running (%2); %3. Wait until it has finished and sync "
                                    "again; nothing was synced.")
                         .arg(QDir::toNativeSeparators(rootPath), lock.holder(), lock.deniedText()));
        return;
    case SyncLock::Result::Taken:
    case SyncLock::Result::Unavailable:
        break;
    }
    // A connection that is closed is no reason to refuse: the database
    // thread opens its own, and reopens it once per job.
    const QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (!db.isValid()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("There is no open database connection: log in again and retry."));
        return;
    }
    if (!worker)
        worker = std::make_unique<DbWorker>(db);

    running = true;
    stage = Stage::Checking;
    recorder = std::make_shared<ShotRecorder>(projectId);
    const std::shared_ptr<ShotRecorder> shots = recorder;
    const int id = projectId;
    const bool media = mediaEnabled;
    post(
        [this, shots, id, media](StatementRunner &runner) -> std::function<void()> {
            Checked check;
            QSqlQuery query(runner.database());
            check.status = runner.run(query, QString::fromLatin1(Sql::findProjectName), {id});
            if (check.status.ok() && query.next()) {
                check.found = true;
                check.projectName = query.value(1).toString();
            }
            query.finish();
            if (check.found && shots->prepare(runner, &check.prepareError) && media) {
                const MediaTables::State tables = MediaTables::check(runner);
                shots->setMediaWanted(tables.available());
                if (!tables.available() && !tables.connectionLost)
                    check.mediaHint = MediaTables::enableHint(tables);
            }
            check.reconnected = runner.reconnected();
            return [this, check]() { checked(check); };
        },
        QStringLiteral("Checking the project"));
}

void SyncEngine::checked(const Checked &check)
{
    // The chooser may have stood idle for longer than the server keeps a
    // connection: the runner reopened it once with the same login.
    if (check.reconnected)
        ++result.reconnects;
    if (stage != Stage::Checking) {
        advance();
        return;
    }
    if (!check.status.ok()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("The project could not be checked: %1").arg(check.status.error));
        return;
    }
    if (!check.found) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("There is no project with id %1 in the database; choose an existing "
                              "project. Nothing was synced.")
                   .arg(projectId));
        return;
    }
    if (!check.prepareError.isEmpty()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("The sync's statements could not be prepared: %1").arg(check.prepareError));
        return;
    }
    result.projectName = check.projectName;
    result.mediaOff = !mediaEnabled;
    result.mediaHint = check.mediaHint;
    begin();
}

void SyncEngine::begin()
{
    stage = Stage::Syncing;
    begun = true;
    const QDir root(rootPath);
    cache.begin(root.filePath(QLatin1String(CacheFile::fileName)));
    QString note;
    if (!previousDigests.load(root.filePath(QLatin1String(DigestMemory::fileName)), &note))
        result.memoryNote = note;
    newDigests = DigestMemory();
    clock.start();
    progressTimer.start();

    job = std::make_shared<HashJob>();
    job->receiver = this;
    // The walk and the hashing run on a plain thread that only this run
    // uses; it takes copies of what it needs and never touches the engine.
    ++runningThreads;
    std::thread([job = job, root = rootPath, hash = hashFunction, previous = previousDigests,
                 quick = changedOnly]() {
        const ClipWalk walk = ClipFinder::walk(root, &job->stop);
        if (!walk.cancelled) {
            job->post([walk](SyncEngine *engine) { engine->listed(walk); });
            for (int i = 0; i < walk.clips.size() && !job->stop; ++i) {
                const ClipEntry &clip = walk.clips.at(i);
                Hashed hashed{i, {}, 0, false};
                const DigestMemory::Entry *known = quick ? previous.unchanged(clip) : nullptr;
                if (known) {
                    hashed.digests.md5 = known->md5;
                    hashed.digests.sha1 = known->sha1;
                    hashed.digests.size = known->size;
                    hashed.digests.modifiedNs = known->modifiedNs;
                    hashed.hashedNs = known->hashedNs;
                    hashed.remembered = true;
                } else {
                    job->hashingIndex = i;
                    hashed.hashedNs = nowNs();
                    const qint64 before = job->bytesHashed;
                    hashed.digests = hash(clip.absolutePath, &job->stop,
                                          [&job, before](qint64 read) { job->bytesHashed = before + read; });
                    job->bytesHashed = before + clip.size;
                    if (hashed.digests.status == ClipHasher::Status::Cancelled)
                        break;
                }
                job->post([hashed](SyncEngine *engine) { engine->clipHashed(hashed); });
            }
        }
        --runningThreads;
    }).detach();
}

void SyncEngine::cancel()
{
    if (!running)
        return;
    if (stage == Stage::Finishing) {
        // Every clip is recorded; only the other projects' names are
        // missing, which a stalled server must not hold up.
        if (!graceTimer.isActive() && !cut)
            graceTimer.start();
        return;
    }
    if (stage == Stage::Stopping)
        return;
    stage = Stage::Stopping;
    // The clip being hashed and the media being read are abandoned.
    letGoOfThread();
    graceTimer.start();
    // The clips already hashed are recorded and the media already read is
    // stored, if the server takes them within the grace; a batch being
    // reported goes on first.
    if (!recording)
        advance();
}

SyncSummary SyncEngine::run()
{
    QEventLoop loop;
    connect(this, &SyncEngine::finished, &loop, &QEventLoop::quit);
    start();
    if (running)
        loop.exec();
    return result;
}

SyncProgress SyncEngine::progress() const
{
    SyncProgress p;
    p.clipsDone = clipsDone;
    p.clipsTotal = isListed ? int(clips.size()) : -1;
    p.bytesDone = job ? qint64(job->bytesHashed) : 0;
    p.bytesTotal = bytesTotal;
    const qint64 ms = clock.isValid() ? clock.elapsed() : 0;
    if (ms > 0)
        p.bytesPerSecond = p.bytesDone * 1000.0 / ms;
    const int current = job ? int(job->hashingIndex) : -1;
    if (running && current >= 0 && current < clips.size())
        p.currentClip = clips.at(current).path;
    p.mediaDone = mediaDone;
    p.mediaTotal = mediaQueued;
    const int reading = job ? int(job->readingIndex) : -1;
    if (running && reading >= 0 && reading < clips.size())
        p.currentMedia = clips.at(reading).path;
    return p;
}

void SyncEngine::listed(const ClipWalk &walk)
{
    if (stage != Stage::Syncing)
        return;
    clips = walk.clips;
    isListed = true;
    result.rawMissing = walk.rawMissing;
    bytesTotal = 0;
    for (const ClipEntry &clip : clips) {
        if (!(changedOnly && previousDigests.unchanged(clip)))
            bytesTotal += clip.size;
    }
    for (const SkippedEntry &entry : walk.skipped) {
        qDebug().noquote() << entry.path;
        qDebug().noquote() << " Skipped:" << entry.reason;
        result.skippedClips << qMakePair(entry.path, entry.reason);
        if (!entry.path.endsWith(QLatin1Char('/'))) {
            ++result.found;
            ++result.skipped;
        }
    }
    result.found += int(clips.size());
    emit progressChanged(progress());
    finishWhenDone();
}

void SyncEngine::clipHashed(const Hashed &hashed)
{
    if (stage != Stage::Syncing)
        return; // cancelled meanwhile: abandoned
    const ClipEntry &clip = clips.at(hashed.index);
    const ClipHasher::Result &digests = hashed.digests;
    SyncClipResult outcome;
    outcome.path = clip.path;
    outcome.remembered = hashed.remembered;
    if (digests.status != ClipHasher::Status::Ok) {
        outcome.reason = digests.error;
    } else {
        outcome.md5 = digests.md5;
        outcome.sha1 = digests.sha1;
        rememberClip(clip, hashed);
        hashedState.insert(hashed.index, qMakePair(digests.size, digests.modifiedNs));
    }
    if (openBatch.isEmpty())
        batchClock.start();
    openBatch << ShotRecorder::Clip{hashed.index, outcome};
    const bool last = clipsPosted + openBatch.size() == clips.size();
    if (last || openBatch.size() >= ShotRecorder::batchClips || batchClock.elapsed() >= batchMs)
        postBatch();
    else if (!commitTimer.isActive())
        commitTimer.start();
}

void SyncEngine::postBatch()
{
    commitTimer.stop();
    batchClock.invalidate();
    if (openBatch.isEmpty())
        return;
    QList<ShotRecorder::Clip> batch;
    batch.swap(openBatch);
    clipsPosted += int(batch.size());
    const std::shared_ptr<ShotRecorder> shots = recorder;
    post(
        [this, shots, batch](StatementRunner &runner) -> std::function<void()> {
            const ShotRecorder::Outcome outcome = shots->record(runner, batch);
            return [this, outcome]() { batchRecorded(outcome); };
        },
        QStringLiteral("Recording %1 clips").arg(batch.size()));
    // The media facts read so far go with it, in a transaction of their own.
    postMedia();
}

void SyncEngine::postMedia()
{
    if (pendingMedia.isEmpty())
        return;
    QList<ShotRecorder::MediaRow> rows;
    rows.swap(pendingMedia);
    const std::shared_ptr<ShotRecorder> shots = recorder;
    post(
        [this, shots, rows](StatementRunner &runner) -> std::function<void()> {
            const ShotRecorder::MediaOutcome outcome = shots->storeMedia(runner, rows);
            return [this, outcome]() { mediaStored(outcome); };
        },
        QStringLiteral("Storing the media facts of %1 clips").arg(rows.size()));
}

void SyncEngine::writeTraces(const QList<ShotRecorder::Trace> &traces)
{
    for (const ShotRecorder::Trace &trace : traces) {
        QDebug line = qDebug().noquote();
        for (const QString &item : trace)
            line << item;
    }
}

bool SyncEngine::endsUnstored(bool stored, StatementFailure failure, const QString &error)
{
    if (stored)
        return false;
    if (stage == Stage::Stopping || failure == StatementFailure::Cancelled)
        advance();
    else
        finish(SyncSummary::Status::DatabaseFailed, error);
    return true;
}

void SyncEngine::batchRecorded(const ShotRecorder::Outcome &outcome)
{
    result.reconnects += outcome.reconnects;
    writeTraces(outcome.traces);
    // Cut off by a cancel, nothing of it is known to be stored: its clips
    // are not recorded.
    if (endsUnstored(outcome.stored, outcome.failure, outcome.error))
        return;
    if (!outcome.mediaError.isEmpty() && !mediaRefused) {
        mediaRefused = true;
        result.mediaError = outcome.mediaError;
        pendingMedia.clear();
    }
    // Only now are the rows safe on the server: their records follow.
    const quint64 run = runNumber;
    recording = true;
    for (const ShotRecorder::Recorded &item : outcome.done) {
        if (item.clip.outcome != SyncClipResult::Outcome::Skipped)
            cache.addRecord(item.clip.path, item.clip.md5, item.clip.sha1, item.clip.shotId);
        report(item.clip);
        if (run != runNumber || !running) {
            recording = false;
            return;
        }
        if (!item.needsMedia)
            continue;
        if (stage != Stage::Syncing) {
            ++result.mediaLeft; // cancelled: the next sync reads it
            continue;
        }
        const ClipEntry &clip = clips.at(item.index);
        const QPair<qint64, qint64> state = hashedState.value(item.index, qMakePair(qint64(-1), qint64(0)));
        MediaJob next;
        next.index = item.index;
        next.path = clip.path;
        next.absolutePath = clip.absolutePath;
        next.md5 = item.clip.md5;
        next.sha1 = item.clip.sha1;
        next.size = state.first;
        next.modifiedNs = state.second;
        ++mediaQueued;
        job->queueMedia(next);
    }
    recording = false;
    // Once per batch: a window redrawn for each of 500 clips would stall.
    emit progressChanged(progress());
    advance();
}

void SyncEngine::mediaStored(const ShotRecorder::MediaOutcome &outcome)
{
    result.reconnects += outcome.reconnects;
    writeTraces(outcome.traces);
    if (endsUnstored(outcome.stored, outcome.failure, outcome.error))
        return;
    result.mediaRead += outcome.facts;
    result.posters += outcome.posters;
    if (!outcome.mediaError.isEmpty() && !mediaRefused) {
        mediaRefused = true;
        result.mediaError = outcome.mediaError;
        pendingMedia.clear();
    }
    advance();
}

void SyncEngine::mediaRead(const MediaJob &read, const MediaReading &reading)
{
    if (stage != Stage::Syncing)
        return; // cancelled meanwhile: counted as not read
    ++mediaDone;
    // A clip changed since it was hashed is read by the next sync.
    if (!reading.changed && !reading.cancelled) {
        if (!mediaRefused)
            pendingMedia << ShotRecorder::MediaRow{read.md5, read.sha1, reading};
        if (!reading.facts.problem.isEmpty())
            result.mediaProblems << qMakePair(read.path, reading.facts.problem);
    } else {
        ++result.mediaLeft;
    }
    if (pendingMedia.size() >= mediaBatch)
        postMedia();
    finishWhenDone();
}

void SyncEngine::advance()
{
    if (!running)
        return;
    if (stage == Stage::Syncing) {
        finishWhenDone();
        return;
    }
    if (stage != Stage::Stopping)
        return;
    if (!cut) {
        // Once: what was hashed and read before the cancel.
        postBatch();
        postMedia();
    }
    if (jobsInFlight == 0)
        finish(SyncSummary::Status::Cancelled,
               begun ? QString()
                     : QStringLiteral("The sync was cancelled before it began; nothing was synced."));
}

void SyncEngine::cutOff()
{
    if (!running || cut)
        return;
    // The grace is over: the statement waiting for the server fails at
    // once, and whatever is queued behind it is dropped.
    cut = true;
    worker->cancelAll();
    if (jobsInFlight > 0)
        cutOffTimer.start();
}

void SyncEngine::finishWhenDone()
{
    if (!running || stage != Stage::Syncing || !isListed)
        return;
    if (clipsDone < clips.size() || !openBatch.isEmpty() || mediaDone < mediaQueued)
        return;
    if (!pendingMedia.isEmpty()) {
        postMedia();
        return;
    }
    if (jobsInFlight == 0)
        finish(SyncSummary::Status::Completed);
}

void SyncEngine::rememberClip(const ClipEntry &clip, const Hashed &hashed)
{
    const ClipHasher::Result &digests = hashed.digests;
    DigestMemory::Entry entry;
    entry.size = digests.size;
    entry.modifiedNs = digests.modifiedNs;
    entry.hashedNs = hashed.hashedNs;
    entry.md5 = digests.md5;
    entry.sha1 = digests.sha1;
    newDigests.remember(clip.path, entry);
}

void SyncEngine::report(const SyncClipResult &clip)
{
    ++clipsDone;
    switch (clip.outcome) {
    case SyncClipResult::Outcome::Matched:
        ++result.matched;
        matchedIds << clip.shotId;
        break;
    case SyncClipResult::Outcome::Inserted:
        ++result.inserted;
        break;
    case SyncClipResult::Outcome::Skipped:
        ++result.skipped;
        result.skippedClips << qMakePair(clip.path, clip.reason);
        break;
    }
    if (clip.remembered && clip.outcome != SyncClipResult::Outcome::Skipped)
        ++result.remembered;
    emit clipFinished(clip);
}

void SyncEngine::finish(SyncSummary::Status status, const QString &error)
{
    endStatus = status;
    endError = error;
    letGoOfThread();
    progressTimer.stop();
    commitTimer.stop();
    if (status == SyncSummary::Status::DatabaseFailed && worker) {
        // Whatever is queued behind the failed job would only wait again.
        cut = true;
        worker->cancelAll();
    }
    if (running && begun && !cut && status != SyncSummary::Status::DatabaseFailed && !matchedIds.isEmpty()) {
        stage = Stage::Finishing;
        findOtherProjects();
        return;
    }
    complete();
}

void SyncEngine::findOtherProjects()
{
    struct Shot
    {
        int id;
        int project;
        QVariant name;
    };
    const QSet<int> unique(matchedIds.cbegin(), matchedIds.cend());
    const QList<int> ids(unique.cbegin(), unique.cend());
    post(
        [this, ids](StatementRunner &runner) -> std::function<void()> {
            QList<Shot> shots;
            StatementResult status;
            for (int from = 0; status.ok() && from < ids.size(); from += otherProjectIdsPerStatement) {
                const QList<int> chunk = ids.mid(from, otherProjectIdsPerStatement);
                QVariantList values;
                for (int id : chunk)
                    values << id;
                QSqlQuery query(runner.database());
                status = runner.run(
                    query, QString::fromLatin1(Sql::projectsOfShots).arg(Sql::placeholders(int(chunk.size()))), values);
                while (status.ok() && query.next())
                    shots << Shot{query.value(0).toInt(), query.value(1).toInt(), query.value(2)};
            }
            const bool reconnected = runner.reconnected();
            return [this, shots, status, reconnected]() {
                if (reconnected)
                    ++result.reconnects;
                if (!status.ok()) {
                    if (status.failure != StatementFailure::Cancelled)
                        qDebug().noquote() << "The projects of the matched shots could not be read:" << status.error;
                    complete();
                    return;
                }
                QHash<int, QString> projectOfShot;
                for (const Shot &shot : shots) {
                    if (shot.project == projectId)
                        continue;
                    const QString name = shot.name.isNull()
                        ? QStringLiteral("project %1 (no longer in the database)").arg(shot.project)
                        : QStringLiteral("\"%1\"").arg(shot.name.toString());
                    projectOfShot.insert(shot.id, name);
                }
                QMap<QString, int> counts;
                for (int id : std::as_const(matchedIds)) {
                    const auto it = projectOfShot.constFind(id);
                    if (it != projectOfShot.constEnd())
                        ++counts[it.value()];
                }
                for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                    result.otherProjects << qMakePair(it.key(), it.value());
                complete();
            };
        },
        QStringLiteral("Looking up the projects of matched shots"));
}

void SyncEngine::complete()
{
    const bool wasBegun = begun;
    running = false;
    stage = Stage::Idle;
    ++runNumber; // what is still on the database thread is let go of
    begun = false;
    letGoOfThread();
    progressTimer.stop();
    commitTimer.stop();
    graceTimer.stop();
    cutOffTimer.stop();
    result.mediaLeft += mediaQueued - mediaDone;
    result.status = endStatus;
    result.error = endError;
    if (wasBegun) {
        cache.end();
        result.cacheError = cache.error();
        if (isListed) {
            // Every clip hashed in this run, and what the previous run knew
            // of the clips this one did not reach.
            DigestMemory keep = newDigests;
            for (const ClipEntry &clip : std::as_const(clips)) {
                if (!keep.find(clip.path)) {
                    if (const DigestMemory::Entry *known = previousDigests.find(clip.path))
                        keep.remember(clip.path, *known);
                }
            }
            const QString path = QDir(rootPath).filePath(QLatin1String(DigestMemory::fileName));
            const QString saveError = keep.save(path);
            if (!saveError.isEmpty())
                result.memoryError = QStringLiteral("The digests could not be kept in %1 (%2); the next quick "
                                                    "re-sync reads every clip again.")
                                         .arg(QDir::toNativeSeparators(path), saveError);
        }
    }
    lock.release();
    emit finished(result);
}
