#include "projects/shotrecorder.h"

#include "db/batchstatements.h"
#include "db/mediastatements.h"
#include "db/reconnect.h"
#include "db/statements.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Rows per statement: well below the server's limits on placeholders and
// on the size of one packet (posters are at most 32 KiB each).
constexpr int pairsPerStatement = 500;
constexpr int factsPerStatement = 200;
constexpr int postersPerStatement = 100;

QVariant nullableNumber(qint64 value, bool known)
{
    return known ? QVariant(value) : QVariant(QMetaType::fromType<qint64>());
}

QVariant nullableText(const QString &text, int limit)
{
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text.left(limit));
}

QVariantList pairValues(const QList<QPair<QByteArray, QByteArray>> &pairs)
{
    QVariantList values;
    values.reserve(pairs.size() * 2);
    for (const auto &pair : pairs)
        values << QVariant(pair.first) << QVariant(pair.second);
    return values;
}

// The digests as the database holds them, compared as the lookup compares
// them (without regard to case).
QPair<QByteArray, QByteArray> pairOf(const QVariant &md5, const QVariant &sha1)
{
    return qMakePair(md5.toByteArray().toLower(), sha1.toByteArray().toLower());
}

} // namespace

ShotRecorder::ShotRecorder(const QString &connectionName, int projectId)
    : connectionName(connectionName)
    , projectId(projectId)
{
}

ShotRecorder::~ShotRecorder()
{
    rollback();
}

QSqlDatabase ShotRecorder::database() const
{
    return QSqlDatabase::database(connectionName, false);
}

void ShotRecorder::rollback()
{
    if (inTransaction) {
        // Only after a lost connection or a stop; the server drops the rows.
        database().rollback();
        inTransaction = false;
    }
}

bool ShotRecorder::prepare()
{
    QSqlDatabase db = database();
    QSqlQuery lookup(db);
    QSqlQuery insert(db);
    if (!lookup.prepare(QString::fromLatin1(Sql::findShotsOfPairs).arg(Sql::digestPairs(1)))) {
        lastError = lookup.lastError().text();
        return false;
    }
    if (!insert.prepare(QString::fromLatin1(Sql::insertShots).arg(Sql::valueRows(1, Sql::insertShotsColumns)))) {
        lastError = insert.lastError().text();
        return false;
    }
    return true;
}

void ShotRecorder::add(int index, const SyncClipResult &clip)
{
    pending << Pending{index, clip};
}

bool ShotRecorder::execute(QSqlQuery &query, const QString &text, const QVariantList &values)
{
    if (!query.prepare(text))
        return false;
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    return query.exec();
}

ShotRecorder::Step ShotRecorder::selectPairs(const char *statement, const QVariantList &leading,
                                             const QList<Pair> &pairs, const QString &where, QSqlError *refused,
                                             const std::function<void(const QSqlQuery &)> &take)
{
    for (int from = 0; from < pairs.size(); from += pairsPerStatement) {
        const QList<Pair> chunk = pairs.mid(from, pairsPerStatement);
        QSqlQuery query(database());
        query.setForwardOnly(true);
        if (!execute(query, QString::fromLatin1(statement).arg(Sql::digestPairs(int(chunk.size()))),
                     leading + pairValues(chunk))) {
            *refused = query.lastError();
            return handleFailure(where, *refused);
        }
        while (query.next())
            take(query);
    }
    return Step::Done;
}

ShotRecorder::Step ShotRecorder::beginTransaction(const QString &where)
{
    if (inTransaction)
        return Step::Done;
    QSqlDatabase db = database();
    if (db.transaction()) {
        inTransaction = true;
        return Step::Done;
    }
    return handleFailure(where, db.lastError());
}

ShotRecorder::Step ShotRecorder::handleFailure(const QString &where, const QSqlError &error)
{
    QSqlDatabase db = database();
    bool lost = isLostConnection(error);
    if (!lost) {
        // A statement can be refused on a healthy connection (a path too long
        // for its column); only a connection that no longer answers counts.
        QSqlQuery probe(db);
        lost = !probe.exec(QLatin1String(Sql::checkConnection));
    }
    if (!lost)
        return Step::Done;

    // Servers close connections idle for longer than their wait_timeout,
    // which hashing one large clip can take. The rows of the open
    // transaction went with the connection.
    inTransaction = false;
    if (batchRunner && batchRunner->reconnected()) {
        lastError = QStringLiteral("The connection to the database was lost again %1 right after it was reopened.")
                        .arg(where);
        return Step::Stopped;
    }
    QString reopenError;
    if (batchRunner && batchRunner->reopen(&reopenError)) {
        ++reconnectCount;
        qDebug().noquote() << " The server had closed the connection (" + error.text() + "); reopened it.";
        return Step::Retry;
    }
    lastError = QStringLiteral("The connection to the database was lost %1: %2\n%3"
                               "The clips synced before it are kept; sync again once the server can be reached.")
                    .arg(where, error.text(),
                         reopenError.isEmpty() ? QString()
                                               : QStringLiteral("Reopening it failed: %1\n").arg(reopenError));
    return Step::Stopped;
}

bool ShotRecorder::commit(QList<Recorded> *done)
{
    done->clear();
    if (pending.isEmpty())
        return true;
    QList<Recorded> batch;
    const bool stored = runUntilDone([&]() {
        batch.clear();
        return runBatch(batch);
    });
    pending.clear();
    if (stored)
        *done = batch;
    return stored;
}

bool ShotRecorder::runUntilDone(const std::function<Step()> &run)
{
    StatementRunner runner(database());
    batchRunner = &runner;
    for (;;) {
        const Step step = run();
        if (step == Step::Retry)
            continue;   // all of it again, on the new connection
        batchRunner = nullptr;
        if (step == Step::Stopped) {
            rollback();
            return false;
        }
        return true;
    }
}

ShotRecorder::Step ShotRecorder::runBatch(QList<Recorded> &done)
{
    QSqlDatabase db = database();
    // The distinct contents of the batch, in the order they first appear.
    QList<Pair> pairs;
    QSet<Pair> seen;
    QString where;
    for (const Pending &item : std::as_const(pending)) {
        if (item.clip.md5.isEmpty())
            continue;
        const Pair pair(item.clip.md5, item.clip.sha1);
        if (where.isEmpty())
            where = QStringLiteral("at %1").arg(item.clip.path);
        if (!seen.contains(pair)) {
            seen.insert(pair);
            pairs << pair;
        }
    }

    if (!pairs.isEmpty()) {
        const Step step = beginTransaction(where);
        if (step != Step::Done)
            return step;
    }

    // Every row of every pair, in the order of their ids.
    QHash<Pair, QList<int>> found;
    QSqlError lookupError;
    Step step = selectPairs(Sql::findShotsOfPairs, {}, pairs, where, &lookupError, [&found](const QSqlQuery &row) {
        bool ok = false;
        const int id = row.value(0).toInt(&ok);
        found[pairOf(row.value(1), row.value(2))] << (ok ? id : 0);
    });
    if (step != Step::Done)
        return step;
    const QString lookupRefused = lookupError.isValid() ? lookupError.text() : QString();

    // Contents whose media has been read already, by any workstation.
    QSet<Pair> read;
    bool mediaKnown = mediaWanted && lookupRefused.isEmpty();
    if (mediaKnown) {
        QSqlError mediaError;
        step = selectPairs(Sql::selectReadPairs, {}, pairs, where, &mediaError,
                           [&read](const QSqlQuery &row) { read.insert(pairOf(row.value(0), row.value(1))); });
        if (step != Step::Done)
            return step;
        if (mediaError.isValid()) {
            mediaWanted = mediaKnown = false;
            mediaFailure = QStringLiteral("The media facts could not be looked up: %1").arg(mediaError.text().trimmed());
        }
    }

    // New contents, and the clips of the batch that hold each, in order.
    QList<Pair> newPairs;
    QHash<Pair, QList<int>> holders;
    for (int i = 0; lookupRefused.isEmpty() && i < pending.size(); ++i) {
        const SyncClipResult &clip = pending.at(i).clip;
        if (clip.md5.isEmpty())
            continue;
        const Pair pair(clip.md5, clip.sha1);
        if (found.contains(pair))
            continue;
        if (!holders.contains(pair))
            newPairs << pair;
        holders[pair] << i;
    }

    // One row per new content, with its first clip's path.
    QHash<Pair, int> insertedBy;     // the clip whose row was inserted
    QHash<int, QString> refused;     // clips whose row the server refused, and why
    auto shotValues = [this](const SyncClipResult &clip) {
        return QVariantList{projectId, clip.path, QVariant(clip.md5), QVariant(clip.sha1)};
    };
    for (int from = 0; from < newPairs.size(); from += pairsPerStatement) {
        const QList<Pair> chunk = newPairs.mid(from, pairsPerStatement);
        QVariantList values;
        for (const Pair &pair : chunk)
            values << shotValues(pending.at(holders[pair].first()).clip);
        QSqlQuery insert(db);
        if (execute(insert,
                    QString::fromLatin1(Sql::insertShots).arg(Sql::valueRows(int(chunk.size()), Sql::insertShotsColumns)),
                    values)) {
            for (const Pair &pair : chunk)
                insertedBy.insert(pair, holders[pair].first());
            continue;
        }
        step = handleFailure(where, insert.lastError());
        if (step != Step::Done)
            return step;
        // A row was refused (a path too long for its column, say): each goes
        // on its own, and after a refused row the next clip of equal content
        // tries its own, as they would one after another.
        const QString single =
            QString::fromLatin1(Sql::insertShots).arg(Sql::valueRows(1, Sql::insertShotsColumns));
        for (const Pair &pair : chunk) {
            for (int holder : std::as_const(holders[pair])) {
                QSqlQuery one(db);
                if (execute(one, single, shotValues(pending.at(holder).clip))) {
                    insertedBy.insert(pair, holder);
                    break;
                }
                const QSqlError error = one.lastError();
                const Step oneStep = handleFailure(QStringLiteral("at %1").arg(pending.at(holder).clip.path), error);
                if (oneStep != Step::Done)
                    return oneStep;
                refused.insert(holder, error.text());
            }
        }
    }

    // The new rows' ids, by their digests, project and path. Refused, their
    // clips are skipped below: no id.
    QHash<Pair, int> newIds;
    QSqlError readBackError;
    step = selectPairs(Sql::findNewShots, {projectId}, insertedBy.keys(), where, &readBackError,
                       [&](const QSqlQuery &row) {
                           const Pair pair = pairOf(row.value(1), row.value(2));
                           const auto by = insertedBy.constFind(pair);
                           if (by != insertedBy.constEnd() && !newIds.contains(pair)
                               && row.value(3).toString() == pending.at(by.value()).clip.path)
                               newIds.insert(pair, row.value(0).toInt());
                       });
    if (step != Step::Done)
        return step;

    // Outcomes and trace lines, clip by clip as the one-by-one sync wrote them.
    QHash<Pair, int> shotOfNewPair;
    QSet<Pair> asked;
    for (int i = 0; i < pending.size(); ++i) {
        Recorded recorded{pending.at(i).index, pending.at(i).clip};
        SyncClipResult &clip = recorded.clip;
        qDebug().noquote() << clip.path;
        if (clip.md5.isEmpty()) {
            qDebug().noquote() << " Skipped:" << clip.reason;
            clip.outcome = SyncClipResult::Outcome::Skipped;
            done << recorded;
            continue;
        }
        qDebug().noquote() << " MD5 : " << clip.md5;
        qDebug().noquote() << " SHA1: " << clip.sha1;
        const Pair pair(clip.md5, clip.sha1);
        if (!lookupRefused.isEmpty()) {
            qDebug().noquote() << "Query Size: " << -1;
            clip.reason = QStringLiteral("the database refused the lookup: %1").arg(lookupRefused);
        } else if (found.contains(pair) || shotOfNewPair.contains(pair)) {
            const QList<int> rows = found.value(pair, QList<int>{shotOfNewPair.value(pair)});
            qDebug().noquote() << "Query Size: " << rows.size();
            const int id = rows.first();
            if (id <= 0) {
                clip.reason = QStringLiteral("the lookup returned no usable shot id");
            } else {
                qDebug().noquote() << " Match found for this file.  Updating local cache with id : " << id;
                clip.outcome = SyncClipResult::Outcome::Matched;
                clip.shotId = id;
            }
        } else {
            qDebug().noquote() << "Query Size: " << 0;
            qDebug().noquote() << " No Matching Rows for this file.  Inserting it into DB.";
            if (refused.contains(i)) {
                qDebug().noquote() << "ID = " << "none:" << refused.value(i);
                clip.reason = QStringLiteral("the database refused the new shot: %1").arg(refused.value(i));
            } else {
                const int id = insertedBy.value(pair, -1) == i ? newIds.value(pair, 0) : 0;
                qDebug().noquote() << "ID = " << id;
                if (id <= 0) {
                    clip.reason = QStringLiteral("the database gave no id for the new shot");
                } else {
                    clip.outcome = SyncClipResult::Outcome::Inserted;
                    clip.shotId = id;
                    shotOfNewPair.insert(pair, id);
                }
            }
        }
        if (clip.outcome != SyncClipResult::Outcome::Skipped && mediaKnown && !read.contains(pair)
            && !mediaAsked.contains(pair) && !asked.contains(pair)) {
            recorded.needsMedia = true;
            asked.insert(pair);
        }
        done << recorded;
    }

    if (inTransaction) {
        inTransaction = false;
        if (!db.commit()) {
            const QSqlError error = db.lastError();
            step = handleFailure(where, error);
            if (step != Step::Done)
                return step;
            // Refused on a live connection: nothing of the batch was stored.
            db.rollback();
            for (Recorded &recorded : done) {
                recorded.needsMedia = false;
                if (recorded.clip.outcome == SyncClipResult::Outcome::Inserted) {
                    recorded.clip.outcome = SyncClipResult::Outcome::Skipped;
                    recorded.clip.reason =
                        QStringLiteral("the database refused to commit the new shot: %1").arg(error.text());
                }
            }
            return Step::Done;
        }
    }
    mediaAsked.unite(asked);
    return Step::Done;
}

void ShotRecorder::addMedia(const QByteArray &md5, const QByteArray &sha1, const MediaReading &reading)
{
    if (mediaFailure.isEmpty())
        mediaRows << MediaRow{md5, sha1, reading};
}

bool ShotRecorder::commitMedia()
{
    if (mediaRows.isEmpty())
        return true;
    const bool stored = runUntilDone([this]() { return runMedia(); });
    mediaRows.clear();
    return stored;
}

ShotRecorder::Step ShotRecorder::runMedia()
{
    QSqlDatabase db = database();
    const QString where = QStringLiteral("while the media facts were stored");
    auto refuse = [&](const QSqlError &error) {
        rollback();
        mediaWanted = false;
        mediaFailure = QStringLiteral("The media facts could not be stored: %1").arg(error.text().trimmed());
        return Step::Done;
    };
    {
        const Step step = beginTransaction(where);
        if (step != Step::Done)
            return step;
    }
    // Rows of a clip that is no video hold only its problem: a third of the
    // values to bind, which counts when thousands of files are no video.
    QList<QVariantList> factRows, problemRows, posterRows;
    for (const MediaRow &row : std::as_const(mediaRows)) {
        const MediaFacts &facts = row.reading.facts;
        if (!facts.problem.isEmpty()) {
            problemRows << QVariantList{QVariant(row.md5), QVariant(row.sha1), nullableText(facts.problem, 4000)};
            continue;
        }
        const QString recorded = facts.hasRecorded() ? facts.recordedDate.toString(Qt::ISODate) + QLatin1Char(' ')
                + facts.recordedTime.toString(QStringLiteral("HH:mm:ss"))
                                                     : QString();
        factRows << QVariantList{QVariant(row.md5),
                                 QVariant(row.sha1),
                                 nullableNumber(facts.durationMs, facts.durationMs >= 0),
                                 nullableNumber(facts.width, facts.width > 0),
                                 nullableNumber(facts.height, facts.height > 0),
                                 nullableText(facts.frameRate, 16),
                                 nullableText(facts.scan, 16),
                                 nullableText(facts.videoCodec, 32),
                                 nullableText(facts.audioCodec, 32),
                                 nullableNumber(facts.audioChannels, facts.audioChannels > 0),
                                 nullableNumber(facts.audioRate, facts.audioRate > 0),
                                 nullableText(recorded, 19),
                                 nullableNumber(facts.utcOffsetMinutes, facts.hasUtcOffset && facts.hasRecorded()),
                                 nullableText(facts.startTimecode, 11)};
        if (!row.reading.poster.isEmpty())
            posterRows << QVariantList{QVariant(row.md5), QVariant(row.sha1), QVariant(row.reading.poster),
                                       row.reading.posterWidth, row.reading.posterHeight};
    }
    const struct
    {
        const char *statement;
        int columns;
        int perStatement;
        const QList<QVariantList> &rows;
    } inserts[] = {{Sql::insertMediaFacts, Sql::insertMediaFactsColumns, factsPerStatement, factRows},
                   {Sql::insertMediaProblems, Sql::insertMediaProblemsColumns, factsPerStatement, problemRows},
                   {Sql::insertPosters, Sql::insertPostersColumns, postersPerStatement, posterRows}};
    for (const auto &insert : inserts) {
        for (int from = 0; from < insert.rows.size(); from += insert.perStatement) {
            const QList<QVariantList> chunk = insert.rows.mid(from, insert.perStatement);
            QVariantList values;
            values.reserve(chunk.size() * insert.columns);
            for (const QVariantList &row : chunk)
                values += row;
            QSqlQuery query(db);
            if (!execute(query,
                         QString::fromLatin1(insert.statement).arg(Sql::valueRows(int(chunk.size()), insert.columns)),
                         values)) {
                const Step step = handleFailure(where, query.lastError());
                return step != Step::Done ? step : refuse(query.lastError());
            }
        }
    }
    if (inTransaction) {
        inTransaction = false;
        if (!db.commit()) {
            const QSqlError error = db.lastError();
            const Step step = handleFailure(where, error);
            return step != Step::Done ? step : refuse(error);
        }
    }
    storedFacts += int(mediaRows.size());
    storedPosters += int(posterRows.size());
    return Step::Done;
}
