#include "projects/syncengine.h"

#include "db/statements.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QLocale>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QString bytesText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

// Client errors that mean the server cannot be reached any more, and server
// errors that end the session.
bool isConnectionError(const QSqlError &error)
{
    static const QStringList codes{"2002", "2003", "2006", "2013", "2055", "1053", "1927"};
    return error.type() == QSqlError::ConnectionError || codes.contains(error.nativeErrorCode());
}

} // namespace

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
    return (skipped > 0 || !cacheError.isEmpty()) ? 1 : 0;
}

QString SyncSummary::text() const
{
    if (status == Status::Refused)
        return error;
    QStringList lines;
    lines << QStringLiteral("Found %1 clips: %2 matched, %3 inserted, %4 skipped.")
                 .arg(found)
                 .arg(matched)
                 .arg(inserted)
                 .arg(skipped);
    const int left = found - matched - inserted - skipped;
    if (status == Status::Cancelled)
        lines << QStringLiteral("The sync was cancelled; %1 clips were not synced.").arg(left);
    if (status == Status::DatabaseFailed)
        lines << error << QStringLiteral("%1 clips were not synced.").arg(left);
    for (const auto &clip : skippedClips)
        lines << QStringLiteral("Skipped %1: %2").arg(clip.first, clip.second);
    if (!cacheError.isEmpty())
        lines << cacheError;
    return lines.join(QLatin1Char('\n'));
}

SyncEngine::SyncEngine(const QString &rootPath, int projectId, const QString &connectionName, QObject *parent)
    : QObject(parent)
    , rootPath(QDir(rootPath).absolutePath())
    , projectId(projectId)
    , connectionName(connectionName)
{
    progressTimer.setInterval(100);
    connect(&progressTimer, &QTimer::timeout, this, [this]() { emit progressChanged(progress()); });
}

SyncEngine::~SyncEngine()
{
    stopHashing = true;
    if (hashThread.joinable())
        hashThread.join();
}

void SyncEngine::start()
{
    if (running)
        return;
    if (hashThread.joinable())
        hashThread.join();
    result = SyncSummary();
    listed = false;
    clips.clear();
    clipsDone = 0;
    bytesHashed = 0;
    hashingIndex = -1;
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (!db.isOpen()) {
        finish(SyncSummary::Status::Refused,
               QStringLiteral("There is no open database connection: log in again and retry."));
        return;
    }
    QSqlQuery check(db);
    check.prepare(Sql::findProject);
    check.bindValue(QStringLiteral(":project"), projectId);
    if (!check.exec()) {
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

    running = true;
    cache.begin(QDir(rootPath).filePath(QLatin1String(CacheFile::fileName)));
    query = std::make_unique<QSqlQuery>(db);
    clock.start();
    progressTimer.start();
    stopHashing = false;
    hashThread = std::thread([this]() { hashAll(); });
}

void SyncEngine::cancel()
{
    if (running)
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
    p.clipsTotal = listed ? int(clips.size()) : -1;
    p.bytesDone = bytesHashed;
    p.bytesTotal = bytesTotal;
    const qint64 ms = clock.isValid() ? clock.elapsed() : 0;
    if (ms > 0)
        p.bytesPerSecond = p.bytesDone * 1000.0 / ms;
    const int current = hashingIndex;
    if (current >= 0 && current < clips.size())
        p.currentClip = clips.at(current).path;
    return p;
}

// Runs on the hashing thread; hands each result to this object's thread.
void SyncEngine::hashAll()
{
    const QList<ClipEntry> found = ClipFinder::findClips(rootPath);
    QMetaObject::invokeMethod(this, [this, found]() { clipsListed(found); }, Qt::QueuedConnection);
    for (int i = 0; i < found.size() && !stopHashing; ++i) {
        hashingIndex = i;
        const qint64 before = bytesHashed;
        Hashed hashed{i, clipHasher.hashFile(found.at(i).absolutePath, &stopHashing,
                                             [this, before](qint64 read) { bytesHashed = before + read; })};
        if (hashed.digests.status == ClipHasher::Status::Cancelled)
            return;
        QMetaObject::invokeMethod(this, [this, hashed]() { clipHashed(hashed); }, Qt::QueuedConnection);
    }
}

void SyncEngine::clipsListed(const QList<ClipEntry> &found)
{
    if (!running)
        return;
    clips = found;
    listed = true;
    result.found = int(clips.size());
    bytesTotal = 0;
    for (const ClipEntry &clip : clips)
        bytesTotal += clip.size;
    emit progressChanged(progress());
    if (clips.isEmpty())
        finish(SyncSummary::Status::Completed);
}

void SyncEngine::clipHashed(const Hashed &hashed)
{
    if (!running)
        return;
    const ClipEntry &clip = clips.at(hashed.index);
    const ClipHasher::Result &digests = hashed.digests;
    SyncClipResult outcome;
    outcome.path = clip.path;
    qDebug().noquote() << clip.path;
    if (digests.status != ClipHasher::Status::Ok) {
        outcome.reason = digests.error;
        qDebug().noquote() << " Skipped:" << digests.error;
    } else {
        qDebug().noquote() << " MD5 : " << digests.md5;
        qDebug().noquote() << " SHA1: " << digests.sha1;
        if (!syncClip(clip, digests, outcome))
            return;   // the connection is gone and the sync has stopped
    }
    report(outcome);
    if (clipsDone == clips.size())
        finish(SyncSummary::Status::Completed);
}

bool SyncEngine::syncClip(const ClipEntry &clip, const ClipHasher::Result &digests, SyncClipResult &outcome)
{
    outcome.md5 = digests.md5;
    outcome.sha1 = digests.sha1;

    QSqlQuery &q = *query;
    const bool looked = q.prepare(Sql::findShotByDigests) && [&]() {
        q.bindValue(QStringLiteral(":md"), QVariant(digests.md5));
        q.bindValue(QStringLiteral(":sh"), QVariant(digests.sha1));
        return q.exec();
    }();
    qDebug().noquote() << "Query Size: " << q.size();
    if (!looked) {
        if (stopIfConnectionLost(clip.path, q.lastError()))
            return false;
        outcome.reason = QStringLiteral("the database refused the lookup: %1").arg(q.lastError().text());
        return true;
    }
    if (q.next()) {
        bool ok = false;
        const int id = q.value(0).toInt(&ok);
        if (!ok || id <= 0) {
            outcome.reason = QStringLiteral("the lookup returned no usable shot id");
            return true;
        }
        qDebug().noquote() << " Match found for this file.  Updating local cache with id : " << id;
        outcome.outcome = SyncClipResult::Outcome::Matched;
        outcome.shotId = id;
        cache.addRecord(clip.path, digests.md5, digests.sha1, id);
        return true;
    }

    qDebug().noquote() << " No Matching Rows for this file.  Inserting it into DB.";
    const bool inserted = q.prepare(Sql::insertShot) && [&]() {
        q.bindValue(QStringLiteral(":project"), projectId);
        q.bindValue(QStringLiteral(":filename"), clip.path);
        q.bindValue(QStringLiteral(":md"), QVariant(digests.md5));
        q.bindValue(QStringLiteral(":sh"), QVariant(digests.sha1));
        return q.exec();
    }();
    if (!inserted) {
        qDebug().noquote() << "ID = " << "none:" << q.lastError().text();
        if (stopIfConnectionLost(clip.path, q.lastError()))
            return false;
        outcome.reason = QStringLiteral("the database refused the new shot: %1").arg(q.lastError().text());
        return true;
    }
    bool ok = false;
    const int id = q.lastInsertId().toInt(&ok);
    qDebug().noquote() << "ID = " << id;
    if (!ok || id <= 0) {
        outcome.reason = QStringLiteral("the database gave no id for the new shot");
        return true;
    }
    outcome.outcome = SyncClipResult::Outcome::Inserted;
    outcome.shotId = id;
    cache.addRecord(clip.path, digests.md5, digests.sha1, id);
    return true;
}

bool SyncEngine::stopIfConnectionLost(const QString &clipPath, const QSqlError &error)
{
    bool lost = isConnectionError(error);
    if (!lost) {
        // A statement can be refused on a healthy connection (a path too long
        // for its column); only a connection that no longer answers stops.
        QSqlQuery probe(QSqlDatabase::database(connectionName, false));
        lost = !probe.exec(Sql::checkConnection);
    }
    if (!lost)
        return false;
    finish(SyncSummary::Status::DatabaseFailed,
           QStringLiteral("The connection to the database was lost at %1: %2\n"
                          "The clips synced before it are kept; sync again once the server can be reached.")
               .arg(clipPath, error.text()));
    return true;
}

void SyncEngine::report(const SyncClipResult &clip)
{
    ++clipsDone;
    switch (clip.outcome) {
    case SyncClipResult::Outcome::Matched:
        ++result.matched;
        break;
    case SyncClipResult::Outcome::Inserted:
        ++result.inserted;
        break;
    case SyncClipResult::Outcome::Skipped:
        ++result.skipped;
        result.skippedClips << qMakePair(clip.path, clip.reason);
        break;
    }
    emit clipFinished(clip);
    emit progressChanged(progress());
}

void SyncEngine::finish(SyncSummary::Status status, const QString &error)
{
    const bool wasRunning = running;
    running = false;
    stopHashing = true;
    progressTimer.stop();
    query.reset();
    result.status = status;
    result.error = error;
    if (wasRunning) {
        cache.end();
        result.cacheError = cache.error();
    }
    emit finished(result);
}
