#include "media/posterfetcher.h"

#include "db/batchstatements.h"
#include "db/mediastatements.h"
#include "db/reconnect.h"
#include "db/statementrunner.h"
#include "media/mediatables.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

// Contents per statement: about a screenful of rows, at most 1.6 MB of JPEG.
constexpr int postersPerStatement = 50;
// Contents remembered as having no poster, at most.
constexpr int withoutPosterLimit = 200000;

std::atomic<int> runningFetchers{0};
std::atomic<int> connectionNumber{0};

} // namespace

// What the fetching thread shares with the fetcher. The thread holds it as
// long as it runs, so it outlives a fetcher that let go of it; the fetcher
// clears receiver (under the mutex) when it goes, and the thread posts to it
// only while receiver is set.
struct PosterFetcher::Shared
{
    std::mutex mutex;
    std::condition_variable wake;
    PosterFetcher *receiver = nullptr;
    bool stop = false;
    bool started = false;
    QList<Content> wanted;
    quint64 generation = 0;   // counts the requests
    QString sourceConnection;
    std::atomic<int> statements{0};

    void post(const std::function<void(PosterFetcher *)> &call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!receiver)
            return;
        PosterFetcher *fetcher = receiver;
        // Dropped by Qt when the fetcher is gone before it runs.
        QMetaObject::invokeMethod(
            fetcher, [fetcher, call]() { call(fetcher); }, Qt::QueuedConnection);
    }

    bool superseded(quint64 since)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return stop || generation != since;
    }

    void run();
    // Fetches one chunk; false when fetching has to stop for good.
    bool fetch(QSqlDatabase &db, const QList<Content> &chunk, bool mayReopen);
};

void PosterFetcher::Shared::run()
{
    const QString name = QStringLiteral("tavelo-posters-%1").arg(++connectionNumber);
    {
        QSqlDatabase db;
        bool working = true;
        for (;;) {
            QList<Content> batch;
            quint64 since = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return stop || !wanted.isEmpty(); });
                if (stop)
                    break;
                batch.swap(wanted);
                since = generation;
            }
            if (!working)
                continue;
            if (!db.isValid()) {
                // The login's settings, copied under the connection list's
                // lock: the login's own connection is never used here.
                db = QSqlDatabase::cloneDatabase(sourceConnection, name);
            }
            if (!db.isOpen() && !db.open()) {
                const QString reason = QStringLiteral("The posters could not be fetched: %1")
                                           .arg(db.lastError().text().trimmed());
                post([reason](PosterFetcher *fetcher) { fetcher->failed(reason, false); });
                continue;
            }
            for (int from = 0; from < batch.size() && working; from += postersPerStatement) {
                // A newer request replaces what is left: those rows have
                // scrolled out of view.
                if (superseded(since))
                    break;
                working = fetch(db, batch.mid(from, postersPerStatement), true);
            }
        }
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

bool PosterFetcher::Shared::fetch(QSqlDatabase &db, const QList<Content> &chunk, bool mayReopen)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ran = query.prepare(QString::fromLatin1(Sql::selectPostersOfPairs).arg(Sql::digestPairs(int(chunk.size()))));
    if (ran) {
        int i = 0;
        for (const Content &content : chunk) {
            query.bindValue(i++, QVariant(content.first));
            query.bindValue(i++, QVariant(content.second));
        }
        ran = query.exec();
    }
    ++statements;
    if (!ran) {
        const QSqlError error = query.lastError();
        query.finish();
        if (isLostConnection(error) && mayReopen && reopenConnection(nullptr, db))
            return fetch(db, chunk, false);
        StatementRunner runner(db);
        const MediaTables::State tables = MediaTables::check(runner);
        if (!tables.available() && !tables.connectionLost) {
            const QString reason = MediaTables::enableHint(tables);
            post([reason](PosterFetcher *fetcher) { fetcher->failed(reason, true); });
            return false;
        }
        const QString reason = QStringLiteral("The posters could not be fetched: %1").arg(error.text().trimmed());
        post([reason](PosterFetcher *fetcher) { fetcher->failed(reason, false); });
        return true;
    }
    QHash<Content, QByteArray> found;
    while (query.next())
        found.insert(qMakePair(query.value(0).toByteArray().toLower(), query.value(1).toByteArray().toLower()),
                     query.value(2).toByteArray());
    QList<QPair<Content, QByteArray>> posters;
    for (const Content &content : chunk)
        posters << qMakePair(content, found.value(content));
    post([posters](PosterFetcher *fetcher) { fetcher->delivered(posters); });
    return true;
}

PosterFetcher::PosterFetcher(const QString &connectionName, QObject *parent)
    : QObject(parent)
    , shared(std::make_shared<Shared>())
{
    shared->receiver = this;
    shared->sourceConnection = connectionName;
    cache.setMaxCost(defaultCacheBytes);
}

PosterFetcher::~PosterFetcher()
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->receiver = nullptr;
    shared->stop = true;
    shared->wanted.clear();
    shared->wake.notify_all();
}

int PosterFetcher::runningThreads()
{
    return runningFetchers;
}

int PosterFetcher::statementsRun() const
{
    return shared->statements;
}

void PosterFetcher::setCacheLimit(qint64 bytes)
{
    cache.setMaxCost(qMax<qint64>(bytes, 0));
}

QByteArray PosterFetcher::poster(const QByteArray &md5, const QByteArray &sha1) const
{
    const QByteArray *jpeg = cache.object(qMakePair(md5, sha1));
    return jpeg ? *jpeg : QByteArray();
}

bool PosterFetcher::hasNoPoster(const QByteArray &md5, const QByteArray &sha1) const
{
    return withoutPoster.contains(qMakePair(md5, sha1));
}

void PosterFetcher::request(const QList<Content> &contents)
{
    if (!available)
        return;
    QList<Content> needed;
    QSet<Content> listed;
    for (const Content &content : contents) {
        if (!cache.contains(content) && !withoutPoster.contains(content) && !listed.contains(content)) {
            listed.insert(content);
            needed << content;
        }
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->wanted = needed;
    ++shared->generation;
    if (!needed.isEmpty() && !shared->started) {
        // One thread per fetcher, from its first request on.
        shared->started = true;
        ++runningFetchers;
        std::thread([state = shared]() {
            state->run();
            --runningFetchers;
        }).detach();
    }
    shared->wake.notify_all();
}

void PosterFetcher::delivered(const QList<QPair<Content, QByteArray>> &posters)
{
    for (const auto &item : posters) {
        if (item.second.isEmpty()) {
            if (withoutPoster.size() >= withoutPosterLimit)
                withoutPoster.clear();
            withoutPoster.insert(item.first);
        } else {
            cache.insert(item.first, new QByteArray(item.second), qMax<qsizetype>(1, item.second.size()));
        }
        emit posterReady(item.first.first, item.first.second, item.second);
    }
}

void PosterFetcher::failed(const QString &reason, bool permanent)
{
    if (permanent)
        available = false;
    if (reason == lastProblem)
        return;
    lastProblem = reason;
    emit problemOccurred(reason);
}
