#include "projects/shotrecorder.h"

#include "db/batchstatements.h"
#include "db/mediastatements.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <functional>

namespace {

// Rows per statement: well below the server's limits on placeholders and
// on the size of one packet (posters are at most 32 KiB each).
constexpr int pairsPerStatement = 500;
constexpr int factsPerStatement = 200;
constexpr int postersPerStatement = 100;

using Pair = QPair<QByteArray, QByteArray>;

QVariant nullableNumber(qint64 value, bool known)
{
    return known ? QVariant(value) : QVariant(QMetaType::fromType<qint64>());
}

QVariant nullableText(const QString &text, int limit)
{
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text.left(limit));
}

QVariantList pairValues(const QList<Pair> &pairs)
{
    QVariantList values;
    values.reserve(pairs.size() * 2);
    for (const auto &pair : pairs)
        values << QVariant(pair.first) << QVariant(pair.second);
    return values;
}

// The digests as the database holds them, compared as the lookup compares
// them (without regard to case).
Pair pairOf(const QVariant &md5, const QVariant &sha1)
{
    return qMakePair(md5.toByteArray().toLower(), sha1.toByteArray().toLower());
}

// Runs a statement whose "%1" stands for digest pairs over pairs, a chunk
// at a time, after the leading values, handing each row to take. Ends at
// the first failure, a refused statement included, and returns it.
StatementResult selectPairs(StatementRunner &runner, const char *statement, const QVariantList &leading,
                            const QList<Pair> &pairs, const std::function<void(const QSqlQuery &)> &take)
{
    for (int from = 0; from < pairs.size(); from += pairsPerStatement) {
        const QList<Pair> chunk = pairs.mid(from, pairsPerStatement);
        QSqlQuery query(runner.database());
        const StatementResult ran =
            runner.run(query, QString::fromLatin1(statement).arg(Sql::digestPairs(int(chunk.size()))),
                       leading + pairValues(chunk));
        if (!ran.ok())
            return ran;
        while (query.next())
            take(query);
    }
    return StatementResult::success();
}

} // namespace

struct ShotRecorder::Attempt
{
    QHash<Pair, QList<int>> found;   // every row of every pair, in the order of their ids
    QString lookupRefused;
    QSet<Pair> read;                 // contents whose media has been read already, by any workstation
    bool mediaKnown = false;
    QString mediaError;
    QHash<Pair, int> insertedBy;     // the clip whose row was inserted
    QHash<int, QString> refused;     // clips whose row the server refused, and why
    QHash<Pair, int> newIds;
};

ShotRecorder::ShotRecorder(int projectId)
    : projectId(projectId)
{
}

bool ShotRecorder::prepare(StatementRunner &runner, QString *error)
{
    QSqlQuery lookup(runner.database());
    QSqlQuery insert(runner.database());
    if (!lookup.prepare(QString::fromLatin1(Sql::findShotsOfPairs).arg(Sql::digestPairs(1)))) {
        *error = lookup.lastError().text();
        return false;
    }
    if (!insert.prepare(QString::fromLatin1(Sql::insertShots).arg(Sql::valueRows(1, Sql::insertShotsColumns)))) {
        *error = insert.lastError().text();
        return false;
    }
    return true;
}

QString ShotRecorder::stopText(const StatementRunner &runner, const StatementResult &failure, const QString &where)
{
    if (failure.failure == StatementFailure::Cancelled)
        return failure.error;
    if (failure.failure == StatementFailure::ConnectionLost && runner.reconnected())
        return QStringLiteral("The connection to the database was lost again %1 right after it was reopened.")
            .arg(where);
    const QString lost = runner.lossBeforeReopen().isEmpty() ? failure.error : runner.lossBeforeReopen();
    const QString reopenError = runner.reopenFailure();
    return QStringLiteral("The connection to the database was lost %1: %2\n%3"
                          "The clips synced before it are kept; sync again once the server can be reached.")
        .arg(where, lost,
             reopenError.isEmpty() ? QString() : QStringLiteral("Reopening it failed: %1\n").arg(reopenError));
}

ShotRecorder::Trace ShotRecorder::reopenedTrace(const StatementRunner &runner)
{
    return {QStringLiteral(" The server had closed the connection (") + runner.lossBeforeReopen()
            + QStringLiteral("); reopened it.")};
}

ShotRecorder::Outcome ShotRecorder::record(StatementRunner &runner, const QList<Clip> &batch)
{
    Outcome outcome;
    // The distinct contents of the batch, in the order they first appear.
    QList<Pair> pairs;
    QSet<Pair> seen;
    QString where;
    for (const Clip &item : batch) {
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

    Attempt attempt;
    QString commitRefused;
    if (!pairs.isEmpty()) {
        bool committing = false;
        const StatementResult ran = runner.transaction(
            [&]() {
                attempt = Attempt();
                return runBatch(runner, batch, pairs, attempt);
            },
            &committing);
        if (runner.reconnected()) {
            // Servers close connections idle for longer than their
            // wait_timeout, which hashing one large clip can take.
            outcome.reconnects = 1;
            outcome.traces << reopenedTrace(runner);
        }
        if (!ran.ok() && ran.failure != StatementFailure::Refused) {
            outcome.failure = ran.failure;
            outcome.error = stopText(runner, ran, where);
            return outcome;
        }
        if (!ran.ok() && !committing) {
            // The body takes refused statements itself: only the
            // transaction's start can have been refused.
            outcome.failure = ran.failure;
            outcome.error = QStringLiteral("The database refused to start the sync's transaction %1: %2")
                                .arg(where, ran.error);
            return outcome;
        }
        if (!ran.ok())
            commitRefused = ran.error; // on a live connection: nothing of the batch was stored
    }

    // Outcomes and trace lines, clip by clip as the one-by-one sync wrote them.
    QHash<Pair, int> shotOfNewPair;
    QSet<Pair> asked;
    for (int i = 0; i < batch.size(); ++i) {
        Recorded recorded{batch.at(i).index, batch.at(i).clip};
        SyncClipResult &clip = recorded.clip;
        outcome.traces << Trace{clip.path};
        if (clip.md5.isEmpty()) {
            outcome.traces << Trace{QStringLiteral(" Skipped:"), clip.reason};
            clip.outcome = SyncClipResult::Outcome::Skipped;
            outcome.done << recorded;
            continue;
        }
        outcome.traces << Trace{QStringLiteral(" MD5 : "), QString::fromLatin1(clip.md5)}
                       << Trace{QStringLiteral(" SHA1: "), QString::fromLatin1(clip.sha1)};
        const Pair pair(clip.md5, clip.sha1);
        if (!attempt.lookupRefused.isEmpty()) {
            outcome.traces << Trace{QStringLiteral("Query Size: "), QStringLiteral("-1")};
            clip.reason = QStringLiteral("the database refused the lookup: %1").arg(attempt.lookupRefused);
        } else if (attempt.found.contains(pair) || shotOfNewPair.contains(pair)) {
            const QList<int> rows = attempt.found.value(pair, QList<int>{shotOfNewPair.value(pair)});
            outcome.traces << Trace{QStringLiteral("Query Size: "), QString::number(rows.size())};
            const int id = rows.first();
            if (id <= 0) {
                clip.reason = QStringLiteral("the lookup returned no usable shot id");
            } else {
                outcome.traces << Trace{QStringLiteral(" Match found for this file.  Updating local cache with id : "),
                                        QString::number(id)};
                clip.outcome = SyncClipResult::Outcome::Matched;
                clip.shotId = id;
            }
        } else {
            outcome.traces << Trace{QStringLiteral("Query Size: "), QStringLiteral("0")}
                           << Trace{QStringLiteral(" No Matching Rows for this file.  Inserting it into DB.")};
            if (attempt.refused.contains(i)) {
                outcome.traces << Trace{QStringLiteral("ID = "), QStringLiteral("none:"), attempt.refused.value(i)};
                clip.reason = QStringLiteral("the database refused the new shot: %1").arg(attempt.refused.value(i));
            } else {
                const int id = attempt.insertedBy.value(pair, -1) == i ? attempt.newIds.value(pair, 0) : 0;
                outcome.traces << Trace{QStringLiteral("ID = "), QString::number(id)};
                if (id <= 0) {
                    clip.reason = QStringLiteral("the database gave no id for the new shot");
                } else {
                    clip.outcome = SyncClipResult::Outcome::Inserted;
                    clip.shotId = id;
                    shotOfNewPair.insert(pair, id);
                }
            }
        }
        if (clip.outcome != SyncClipResult::Outcome::Skipped && attempt.mediaKnown && !attempt.read.contains(pair)
            && !mediaAsked.contains(pair) && !asked.contains(pair)) {
            recorded.needsMedia = true;
            asked.insert(pair);
        }
        outcome.done << recorded;
    }

    if (!attempt.mediaError.isEmpty()) {
        mediaWanted = false;
        mediaFailure = outcome.mediaError = attempt.mediaError;
    }
    if (!commitRefused.isEmpty()) {
        for (Recorded &recorded : outcome.done) {
            recorded.needsMedia = false;
            if (recorded.clip.outcome == SyncClipResult::Outcome::Inserted) {
                recorded.clip.outcome = SyncClipResult::Outcome::Skipped;
                recorded.clip.reason =
                    QStringLiteral("the database refused to commit the new shot: %1").arg(commitRefused);
            }
        }
    } else {
        mediaAsked.unite(asked);
    }
    outcome.stored = true;
    return outcome;
}

StatementResult ShotRecorder::runBatch(StatementRunner &runner, const QList<Clip> &batch, const QList<Pair> &pairs,
                                       Attempt &attempt)
{
    StatementResult ran = selectPairs(runner, Sql::findShotsOfPairs, {}, pairs, [&attempt](const QSqlQuery &row) {
        bool ok = false;
        const int id = row.value(0).toInt(&ok);
        attempt.found[pairOf(row.value(1), row.value(2))] << (ok ? id : 0);
    });
    if (ran.failure == StatementFailure::Refused)
        attempt.lookupRefused = ran.error; // every clip of the batch is skipped with the reason
    else if (!ran.ok())
        return ran;

    attempt.mediaKnown = mediaWanted && attempt.lookupRefused.isEmpty();
    if (attempt.mediaKnown) {
        ran = selectPairs(runner, Sql::selectReadPairs, {}, pairs,
                          [&attempt](const QSqlQuery &row) { attempt.read.insert(pairOf(row.value(0), row.value(1))); });
        if (ran.failure == StatementFailure::Refused) {
            attempt.mediaKnown = false;
            attempt.mediaError = QStringLiteral("The media facts could not be looked up: %1").arg(ran.error.trimmed());
        } else if (!ran.ok()) {
            return ran;
        }
    }

    // New contents, and the clips of the batch that hold each, in order.
    QList<Pair> newPairs;
    QHash<Pair, QList<int>> holders;
    for (int i = 0; attempt.lookupRefused.isEmpty() && i < batch.size(); ++i) {
        const SyncClipResult &clip = batch.at(i).clip;
        if (clip.md5.isEmpty())
            continue;
        const Pair pair(clip.md5, clip.sha1);
        if (attempt.found.contains(pair))
            continue;
        if (!holders.contains(pair))
            newPairs << pair;
        holders[pair] << i;
    }

    // One row per new content, with its first clip's path.
    auto shotValues = [this](const SyncClipResult &clip) {
        return QVariantList{projectId, clip.path, QVariant(clip.md5), QVariant(clip.sha1)};
    };
    const QString single = QString::fromLatin1(Sql::insertShots).arg(Sql::valueRows(1, Sql::insertShotsColumns));
    for (int from = 0; from < newPairs.size(); from += pairsPerStatement) {
        const QList<Pair> chunk = newPairs.mid(from, pairsPerStatement);
        QVariantList values;
        for (const Pair &pair : chunk)
            values << shotValues(batch.at(holders[pair].first()).clip);
        QSqlQuery insert(runner.database());
        ran = runner.run(insert,
                         QString::fromLatin1(Sql::insertShots)
                             .arg(Sql::valueRows(int(chunk.size()), Sql::insertShotsColumns)),
                         values, StatementRunner::Write);
        if (ran.ok()) {
            for (const Pair &pair : chunk)
                attempt.insertedBy.insert(pair, holders[pair].first());
            continue;
        }
        if (ran.failure != StatementFailure::Refused)
            return ran;
        // A row was refused (a path too long for its column, say): each goes
        // on its own, and after a refused row the next clip of equal content
        // tries its own, as they would one after another.
        for (const Pair &pair : chunk) {
            for (int holder : std::as_const(holders[pair])) {
                QSqlQuery one(runner.database());
                ran = runner.run(one, single, shotValues(batch.at(holder).clip), StatementRunner::Write);
                if (ran.ok()) {
                    attempt.insertedBy.insert(pair, holder);
                    break;
                }
                if (ran.failure != StatementFailure::Refused)
                    return ran;
                attempt.refused.insert(holder, ran.error);
            }
        }
    }

    // The new rows' ids, by their digests, project and path. Refused, their
    // clips are skipped: no id.
    ran = selectPairs(runner, Sql::findNewShots, {projectId}, attempt.insertedBy.keys(), [&](const QSqlQuery &row) {
        const Pair pair = pairOf(row.value(1), row.value(2));
        const auto by = attempt.insertedBy.constFind(pair);
        if (by != attempt.insertedBy.constEnd() && !attempt.newIds.contains(pair)
            && row.value(3).toString() == batch.at(by.value()).clip.path)
            attempt.newIds.insert(pair, row.value(0).toInt());
    });
    if (!ran.ok() && ran.failure != StatementFailure::Refused)
        return ran;
    return StatementResult::success();
}

ShotRecorder::MediaOutcome ShotRecorder::storeMedia(StatementRunner &runner, const QList<MediaRow> &rows)
{
    MediaOutcome outcome;
    if (rows.isEmpty() || !mediaFailure.isEmpty()) {
        outcome.stored = true;
        return outcome;
    }
    int posters = 0;
    const StatementResult ran = runner.transaction([&]() { return runMedia(runner, rows, &posters); });
    if (runner.reconnected()) {
        outcome.reconnects = 1;
        outcome.traces << reopenedTrace(runner);
    }
    if (!ran.ok() && ran.failure != StatementFailure::Refused) {
        outcome.failure = ran.failure;
        outcome.error = stopText(runner, ran, QStringLiteral("while the media facts were stored"));
        return outcome;
    }
    outcome.stored = true;
    if (!ran.ok()) {
        mediaWanted = false;
        mediaFailure = outcome.mediaError =
            QStringLiteral("The media facts could not be stored: %1").arg(ran.error.trimmed());
        return outcome;
    }
    outcome.facts = int(rows.size());
    outcome.posters = posters;
    return outcome;
}

StatementResult ShotRecorder::runMedia(StatementRunner &runner, const QList<MediaRow> &rows, int *posters)
{
    // Rows of a clip that is no video hold only its problem: a third of the
    // values to bind, which counts when thousands of files are no video.
    QList<QVariantList> factRows, problemRows, posterRows;
    for (const MediaRow &row : rows) {
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
            QSqlQuery query(runner.database());
            // A refused write ends the body: the transaction is rolled back
            // and media reading stops for the run.
            const StatementResult ran = runner.run(
                query, QString::fromLatin1(insert.statement).arg(Sql::valueRows(int(chunk.size()), insert.columns)),
                values, StatementRunner::Write);
            if (!ran.ok())
                return ran;
        }
    }
    *posters = int(posterRows.size());
    return StatementResult::success();
}
