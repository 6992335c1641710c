#include "media/posterfetcher.h"

#include "db/batchstatements.h"
#include "db/dbworker.h"
#include "db/mediastatements.h"
#include "db/statementrunner.h"
#include "media/mediareader.h"
#include "media/mediatables.h"

#include <QSqlQuery>
#include <QTimer>

#include <algorithm>

namespace {

// Contents per statement: about a screenful of rows, at most 1.6 MB of JPEG.
constexpr int postersPerStatement = 50;
// Contents remembered as having no poster, at most.
constexpr int withoutPosterLimit = 200000;
// A paused fetcher tries its last request again after this long, twice as
// long each time the server still does not answer, up to the longest.
constexpr int firstRetryMs = 2000;
constexpr int longestRetryMs = 30000;

} // namespace

bool PosterFetcher::fitsPosterSize(int width, int height)
{
    constexpr int slack = 32;
    return width > 0 && height > 0 && width <= MediaReader::posterWidth + slack
        && height <= 4 * MediaReader::posterWidth + slack;
}

PosterFetcher::PosterFetcher(const QString &connectionName, QObject *parent)
    : QObject(parent)
    , connectionName(connectionName)
    , retryDelayMs(firstRetryMs)
    , statements(std::make_shared<std::atomic<int>>(0))
{
    cache.setMaxCost(defaultCacheBytes);
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &PosterFetcher::retry);
}

// The worker is a child: deleting it cuts off a statement still waiting for
// the server, and hands nothing more back.
PosterFetcher::~PosterFetcher() = default;

void PosterFetcher::setCacheLimit(qint64 bytes)
{
    cache.setMaxCost(qMax<qint64>(bytes, 0));
}

QVariant PosterFetcher::poster(const QByteArray &md5, const QByteArray &sha1) const
{
    const Picture *picture = cache.object(qMakePair(md5, sha1));
    return picture ? picture->value : QVariant();
}

bool PosterFetcher::hasNoPoster(const QByteArray &md5, const QByteArray &sha1) const
{
    return withoutPoster.contains(qMakePair(md5, sha1));
}

QString PosterFetcher::refusal(const QByteArray &md5, const QByteArray &sha1) const
{
    return refused.value(qMakePair(md5, sha1));
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
    latest = needed;
    if (!worker) {
        if (needed.isEmpty())
            return;
        // The login's settings, read here on the GUI thread; the worker
        // opens a connection of its own on its thread.
        worker = new DbWorker(QSqlDatabase::database(connectionName, false), this);
    }
    // What an earlier request left and has not started is dropped: those
    // rows have scrolled out of view. The statement underway ends as it
    // is, and what it fetches is not asked for again.
    const quint64 running = worker->runningTicket();
    QSet<Content> underway;
    for (auto it = pending.begin(); it != pending.end();) {
        if (running && it->ticket == running) {
            for (const Content &content : std::as_const(it->contents))
                underway.insert(content);
            ++it;
        } else {
            worker->cancelQueued(it->ticket);
            it = pending.erase(it);
        }
    }
    needed.removeIf([&underway](const Content &content) { return underway.contains(content); });
    for (qsizetype from = 0; from < needed.size(); from += postersPerStatement)
        post(needed.mid(from, postersPerStatement));
}

PosterFetcher::Result PosterFetcher::fetch(DbSession &session, const QList<Content> &chunk, const Decoder &decode,
                                           std::atomic<int> &statements)
{
    Result result;
    if (session.isCancelled())
        return result; // a newer request took its place
    StatementRunner runner = session.runner();
    QSqlQuery query(runner.database());
    QVariantList values;
    for (const Content &content : chunk)
        values << QVariant(content.first) << QVariant(content.second);
    ++statements;
    const StatementResult ran = runner.run(
        query, QString::fromLatin1(Sql::selectPostersOfPairs).arg(Sql::digestPairs(int(chunk.size()))), values);
    if (!ran.ok()) {
        result.reason = ran.error.trimmed();
        if (ran.failure == StatementFailure::Cancelled)
            return result;
        if (ran.failure != StatementFailure::Refused) {
            result.outcome = Outcome::ServerAway;
            return result;
        }
        // The server answered and refused: whether the tables are there
        // decides what that means. A check that gets no answer says
        // nothing about them.
        const MediaTables::State tables = MediaTables::check(runner);
        if (tables.connectionLost) {
            result.outcome = Outcome::ServerAway;
            result.reason = tables.reason;
        } else if (!tables.available()) {
            result.outcome = Outcome::TablesMissing;
            result.reason = MediaTables::enableHint(tables);
        } else {
            result.outcome = Outcome::Refused;
        }
        return result;
    }
    QHash<Content, QByteArray> found;
    while (query.next())
        found.insert(qMakePair(query.value(0).toByteArray().toLower(), query.value(1).toByteArray().toLower()),
                     query.value(2).toByteArray());
    result.outcome = Outcome::Fetched;
    for (const Content &content : chunk) {
        Fetched poster;
        poster.content = content;
        const QByteArray bytes = found.value(content);
        if (!bytes.isEmpty())
            poster.picture = decode ? decode(bytes) : Picture{bytes, bytes.size(), QString()};
        result.posters << poster;
    }
    return result;
}

void PosterFetcher::post(const QList<Content> &chunk)
{
    const quint64 job = ++jobCount;
    // The work holds copies only: it runs on the worker's thread, and the
    // continuation runs here, and only while this fetcher lives.
    const quint64 ticket = worker->post(
        this,
        [this, job, chunk, decode = decode, statements = statements](DbSession &session) -> DbWorker::Continuation {
            const Result result = fetch(session, chunk, decode, *statements);
            return [this, job, result]() { finished(job, result); };
        },
        QStringLiteral("Fetching posters"));
    pending.insert(job, {ticket, chunk});
}

void PosterFetcher::finished(quint64 job, const Result &result)
{
    pending.remove(job);
    switch (result.outcome) {
    case Outcome::Fetched:
        // The server answers: a later pause is said again.
        if (waiting) {
            waiting = false;
            lastProblem.clear();
        }
        retryDelayMs = firstRetryMs;
        for (const Fetched &fetched : result.posters) {
            const Content &content = fetched.content;
            if (fetched.picture.value.isValid()) {
                cache.insert(content, new Picture(fetched.picture), qMax<qint64>(1, fetched.picture.bytes));
            } else {
                if (withoutPoster.size() >= withoutPosterLimit) {
                    withoutPoster.clear();
                    refused.clear();
                }
                withoutPoster.insert(content);
                if (!fetched.picture.refusal.isEmpty())
                    refused.insert(content, fetched.picture.refusal);
            }
            emit posterReady(content.first, content.second, fetched.picture.value, fetched.picture.refusal);
        }
        break;
    case Outcome::ServerAway:
        retryDue = true;
        if (!waiting) {
            waiting = true;
            say(QStringLiteral("Posters wait for the server: %1. They come back by themselves once it answers.")
                    .arg(result.reason));
        }
        break;
    case Outcome::TablesMissing:
        available = false;
        retryDue = false;
        retryTimer->stop();
        for (const Pending &left : std::as_const(pending))
            worker->cancelQueued(left.ticket);
        pending.clear();
        say(result.reason);
        break;
    case Outcome::Refused:
        say(QStringLiteral("The posters could not be fetched: %1").arg(result.reason));
        break;
    case Outcome::Dropped:
        break;
    }
    // Once nothing is underway, what the server did not answer is asked
    // for again after a while: no scroll is needed for posters to return.
    if (pending.isEmpty() && retryDue && available && !retryTimer->isActive())
        retryTimer->start(retryDelayMs);
}

void PosterFetcher::retry()
{
    if (!pending.isEmpty())
        return; // asked for meanwhile; its end decides again
    retryDue = false;
    retryDelayMs = std::min(retryDelayMs * 2, longestRetryMs);
    request(latest);
}

void PosterFetcher::say(const QString &reason)
{
    if (reason == lastProblem)
        return;
    lastProblem = reason;
    emit problemOccurred(reason);
}
