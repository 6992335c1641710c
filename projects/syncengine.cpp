#include "projects/syncengine.h"

#include "db/reconnect.h"
#include "db/statements.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QLocale>
#include <QMap>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <mutex>
#include <thread>

namespace {

// Clips whose rows share one transaction, at most; and how long the first of
// them waits for its record at most.
constexpr int batchClips = 256;
constexpr int batchMs = 200;
// A clip's record is written this long after its row at the latest, when no
// further clip follows (a large clip is being hashed).
constexpr int commitDelayMs = 20;

std::atomic<int> runningThreads{0};

QString bytesText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

// Client errors that mean the server cannot be reached any more, and server
// errors that end the session.
qint64 nowNs()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000000;
}

} // namespace

// What the hashing thread shares with the engine. The thread holds it as
// long as it runs, so it outlives an engine that let go of the thread; the
// engine clears receiver (under the mutex) before it lets go, and the thread
// posts to the engine only while receiver is set.
struct SyncEngine::HashJob
{
    std::mutex mutex;
    SyncEngine *receiver = nullptr;
    std::atomic_bool stop{false};
    std::atomic<qint64> bytesHashed{0};
    std::atomic<int> hashingIndex{-1};

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

    void release()
    {
        stop = true;
        std::lock_guard<std::mutex> lock(mutex);
        receiver = nullptr;
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
    return (!skippedClips.isEmpty() || !cacheError.isEmpty() || !memoryError.isEmpty()) ? 1 : 0;
}

QString SyncSummary::text() const
{
    if (status == Status::Refused)
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
    for (const auto &clip : skippedClips)
        lines << QStringLiteral("Skipped %1: %2").arg(clip.first, clip.second);
    if (!cacheError.isEmpty())
        lines << cacheError;
    if (!memoryError.isEmpty())
        lines << memoryError;
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
        if (running && commitBatch() && isListed && clipsDone == clips.size())
            finish(SyncSummary::Status::Completed);
    });
}

SyncEngine::~SyncEngine()
{
    if (running) {
        // Closing the window mid-run: what was synced stays, as after Cancel.
        const QSignalBlocker quiet(this);
        cancel();
    }
    letGoOfThread();
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

void SyncEngine::letGoOfThread()
{
    if (job)
        job->release();
}

void SyncEngine::start()
{
    if (running)
        return;
    letGoOfThread();
    job.reset();
    result = SyncSummary();
    result.projectId = projectId;
    result.rootPath = rootPath;
    result.changedOnly = changedOnly;
    isListed = false;
    clips.clear();
    clipsDone = 0;
    pending.clear();
    inTransaction = false;
    retriesLeft = 1;
    matchedIds.clear();

    const QString rootProblem = ClipFinder::rootProblem(rootPath);
    if (!rootProblem.isEmpty()) {
        finish(SyncSummary::Status::Refused, rootProblem + QStringLiteral(" Nothing was synced."));
        return;
    }
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (!db.isOpen()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("There is no open database connection: log in again and retry."));
        return;
    }
    QSqlQuery check(db);
    check.prepare(Sql::findProjectName);
    check.bindValue(QStringLiteral(":project"), projectId);
    if (!check.exec() && isLostConnection(check.lastError())) {
        // The chooser may have stood idle for longer than the server keeps
        // a connection: reopen it once with the same login.
        if (reopenConnection(nullptr, db)) {
            ++result.reconnects;
            check = QSqlQuery(db);
            check.prepare(Sql::findProjectName);
            check.bindValue(QStringLiteral(":project"), projectId);
            check.exec();
        }
    }
    if (!check.isActive()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("The project could not be checked: %1").arg(check.lastError().text()));
        return;
    }
    if (!check.next()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("There is no project with id %1 in the database; choose an existing "
                              "project. Nothing was synced.")
                   .arg(projectId));
        return;
    }
    result.projectName = check.value(1).toString();
    check.finish();
    if (!prepareStatements()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("The sync's statements could not be prepared: %1").arg(lookup->lastError().text()));
        return;
    }

    running = true;
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
    // The clips already looked up are committed and recorded; a failure
    // there has finished the run already.
    if (commitBatch())
        finish(SyncSummary::Status::Cancelled);
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
    return p;
}

void SyncEngine::listed(const ClipWalk &walk)
{
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
    if (clips.isEmpty())
        finish(SyncSummary::Status::Completed);
}

void SyncEngine::clipHashed(const Hashed &hashed)
{
    const ClipEntry &clip = clips.at(hashed.index);
    const ClipHasher::Result &digests = hashed.digests;
    SyncClipResult outcome;
    outcome.path = clip.path;
    outcome.remembered = hashed.remembered;
    qDebug().noquote() << clip.path;
    if (digests.status != ClipHasher::Status::Ok) {
        outcome.reason = digests.error;
        qDebug().noquote() << " Skipped:" << digests.error;
    } else {
        qDebug().noquote() << " MD5 : " << digests.md5;
        qDebug().noquote() << " SHA1: " << digests.sha1;
        rememberClip(clip, hashed);
        Step step = syncClip(clip, hashed, outcome);
        while (step == Step::Retry) {
            // The transaction went with the connection: the clips in it are
            // looked up again first, then this one.
            if (!redoLostBatch())
                return;
            outcome = SyncClipResult{};
            outcome.path = clip.path;
            outcome.remembered = hashed.remembered;
            step = syncClip(clip, hashed, outcome);
        }
        if (step == Step::Stopped)
            return;   // the connection is gone and the sync has stopped
        retriesLeft = 1;
    }
    pending << Pending{hashed.index, hashed, outcome};
    const bool last = clipsDone + pending.size() == clips.size();
    if (last || pending.size() >= batchClips || (batchClock.isValid() && batchClock.elapsed() >= batchMs)) {
        if (!commitBatch())
            return;
        if (last)
            finish(SyncSummary::Status::Completed);
    } else if (!commitTimer.isActive()) {
        commitTimer.start();
    }
}

bool SyncEngine::prepareStatements()
{
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    lookup = std::make_unique<QSqlQuery>(db);
    insert = std::make_unique<QSqlQuery>(db);
    return lookup->prepare(Sql::findShotByDigests) && insert->prepare(Sql::insertShot);
}

SyncEngine::Step SyncEngine::syncClip(const ClipEntry &clip, const Hashed &hashed, SyncClipResult &outcome)
{
    const ClipHasher::Result &digests = hashed.digests;
    outcome.md5 = digests.md5;
    outcome.sha1 = digests.sha1;

    if (!inTransaction) {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        if (!db.transaction()) {
            const Step step = handleFailure(clip.path, db.lastError());
            if (step != Step::Done)
                return step;
        } else {
            inTransaction = true;
            batchClock.start();
        }
    }

    QSqlQuery &q = *lookup;
    q.bindValue(QStringLiteral(":md"), QVariant(digests.md5));
    q.bindValue(QStringLiteral(":sh"), QVariant(digests.sha1));
    const bool looked = q.exec();
    qDebug().noquote() << "Query Size: " << q.size();
    if (!looked) {
        const QSqlError error = q.lastError();
        const Step step = handleFailure(clip.path, error);
        if (step != Step::Done)
            return step;
        outcome.reason = QStringLiteral("the database refused the lookup: %1").arg(error.text());
        return Step::Done;
    }
    if (q.next()) {
        bool ok = false;
        const int id = q.value(0).toInt(&ok);
        q.finish();
        if (!ok || id <= 0) {
            outcome.reason = QStringLiteral("the lookup returned no usable shot id");
            return Step::Done;
        }
        qDebug().noquote() << " Match found for this file.  Updating local cache with id : " << id;
        outcome.outcome = SyncClipResult::Outcome::Matched;
        outcome.shotId = id;
        return Step::Done;
    }
    q.finish();

    qDebug().noquote() << " No Matching Rows for this file.  Inserting it into DB.";
    QSqlQuery &add = *insert;
    add.bindValue(QStringLiteral(":project"), projectId);
    add.bindValue(QStringLiteral(":filename"), clip.path);
    add.bindValue(QStringLiteral(":md"), QVariant(digests.md5));
    add.bindValue(QStringLiteral(":sh"), QVariant(digests.sha1));
    if (!add.exec()) {
        const QSqlError error = add.lastError();
        qDebug().noquote() << "ID = " << "none:" << error.text();
        const Step step = handleFailure(clip.path, error);
        if (step != Step::Done)
            return step;
        outcome.reason = QStringLiteral("the database refused the new shot: %1").arg(error.text());
        return Step::Done;
    }
    bool ok = false;
    const int id = add.lastInsertId().toInt(&ok);
    qDebug().noquote() << "ID = " << id;
    if (!ok || id <= 0) {
        outcome.reason = QStringLiteral("the database gave no id for the new shot");
        return Step::Done;
    }
    outcome.outcome = SyncClipResult::Outcome::Inserted;
    outcome.shotId = id;
    return Step::Done;
}

SyncEngine::Step SyncEngine::handleFailure(const QString &clipPath, const QSqlError &error)
{
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    bool lost = isLostConnection(error);
    if (!lost) {
        // A statement can be refused on a healthy connection (a path too long
        // for its column); only a connection that no longer answers counts.
        QSqlQuery probe(db);
        lost = !probe.exec(Sql::checkConnection);
    }
    if (!lost)
        return Step::Done;

    // Servers close connections idle for longer than their wait_timeout,
    // which hashing one large clip can take. The rows of the open
    // transaction went with the connection; content identity makes running
    // the lookups again safe: a row that did reach the server is found, not
    // inserted twice.
    inTransaction = false;
    lookup.reset();
    insert.reset();
    QString reopenError;
    if (retriesLeft > 0) {
        --retriesLeft;
        if (reopenConnection(&reopenError, db)) {
            if (prepareStatements()) {
                ++result.reconnects;
                qDebug().noquote() << " The server had closed the connection (" + error.text() + "); reopened it.";
                return Step::Retry;
            }
            reopenError = db.lastError().text();
        }
    }
    finish(SyncSummary::Status::DatabaseFailed,
           QStringLiteral("The connection to the database was lost at %1: %2\n%3"
                          "The clips synced before it are kept; sync again once the server can be reached.")
               .arg(clipPath, error.text(),
                    reopenError.isEmpty() ? QString()
                                          : QStringLiteral("Reopening it failed: %1\n").arg(reopenError)));
    return Step::Stopped;
}

bool SyncEngine::redoLostBatch()
{
    const QList<Pending> lost = pending;
    pending.clear();
    for (Pending again : lost) {
        if (again.hashed.digests.status == ClipHasher::Status::Ok) {
            again.outcome = SyncClipResult{};
            again.outcome.path = clips.at(again.index).path;
            again.outcome.remembered = again.hashed.remembered;
            if (syncClip(clips.at(again.index), again.hashed, again.outcome) != Step::Done) {
                if (running)
                    finish(SyncSummary::Status::DatabaseFailed,
                           QStringLiteral("The connection to the database was lost again at %1 right after "
                                          "it was reopened.")
                               .arg(again.outcome.path));
                return false;
            }
        }
        pending << again;
    }
    return true;
}

bool SyncEngine::commitBatch()
{
    commitTimer.stop();
    if (inTransaction) {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        inTransaction = false;
        if (!db.commit()) {
            const QSqlError error = db.lastError();
            const QString at = pending.isEmpty() ? QString() : clips.at(pending.last().index).path;
            const Step step = handleFailure(at, error);
            if (step == Step::Stopped)
                return false;
            if (step == Step::Retry) {
                // Look the whole batch up again on the new connection.
                return redoLostBatch() && commitBatch();
            }
            // Refused on a live connection: nothing of the batch was stored.
            db.rollback();
            for (Pending &item : pending) {
                if (item.outcome.outcome == SyncClipResult::Outcome::Inserted) {
                    item.outcome.outcome = SyncClipResult::Outcome::Skipped;
                    item.outcome.reason = QStringLiteral("the database refused to commit the new shot: %1").arg(error.text());
                }
            }
        }
    }
    // Only now are the rows safe on the server: their records follow.
    const QList<Pending> done = pending;
    pending.clear();
    batchClock.invalidate();
    for (const Pending &item : done) {
        if (item.outcome.outcome != SyncClipResult::Outcome::Skipped)
            cache.addRecord(item.outcome.path, item.outcome.md5, item.outcome.sha1, item.outcome.shotId);
        report(item.outcome);
    }
    return true;
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
    emit progressChanged(progress());
}

void SyncEngine::findOtherProjects()
{
    if (matchedIds.isEmpty())
        return;
    QStringList ids;
    const QSet<int> unique(matchedIds.cbegin(), matchedIds.cend());
    for (int id : unique)
        ids << QString::number(id);
    QSqlQuery query(QSqlDatabase::database(connectionName, false));
    if (!query.exec(QString::fromLatin1(Sql::projectsOfShots).arg(ids.join(QLatin1Char(','))))) {
        qDebug().noquote() << "The projects of the matched shots could not be read:" << query.lastError().text();
        return;
    }
    QHash<int, QString> projectOfShot;
    while (query.next()) {
        if (query.value(1).toInt() == projectId)
            continue;
        const QString name = query.value(2).isNull()
            ? QStringLiteral("project %1 (no longer in the database)").arg(query.value(1).toInt())
            : QStringLiteral("\"%1\"").arg(query.value(2).toString());
        projectOfShot.insert(query.value(0).toInt(), name);
    }
    QMap<QString, int> counts;
    for (int id : std::as_const(matchedIds)) {
        const auto it = projectOfShot.constFind(id);
        if (it != projectOfShot.constEnd())
            ++counts[it.value()];
    }
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        result.otherProjects << qMakePair(it.key(), it.value());
}

void SyncEngine::finish(SyncSummary::Status status, const QString &error)
{
    const bool wasRunning = running;
    running = false;
    letGoOfThread();
    progressTimer.stop();
    commitTimer.stop();
    if (inTransaction) {
        // Only after a lost connection; its server has dropped the rows.
        QSqlDatabase::database(connectionName, false).rollback();
        inTransaction = false;
    }
    pending.clear();
    lookup.reset();
    insert.reset();
    result.status = status;
    result.error = error;
    if (wasRunning) {
        if (status != SyncSummary::Status::DatabaseFailed)
            findOtherProjects();
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
    emit finished(result);
}
