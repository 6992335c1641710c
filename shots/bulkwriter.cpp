#include "shots/bulkwriter.h"

#include "shots/shotwriter.h"

#include <QElapsedTimer>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

BulkWriter::BulkWriter(const QString &table, const QString &connection)
    : table(table)
    , connection(connection)
{
}

namespace {
QString placeholders(int count)
{
    QString list;
    list.reserve(count * 2);
    for (int i = 0; i < count; ++i)
        list += i == 0 ? QStringLiteral("?") : QStringLiteral(",?");
    return list;
}
} // namespace

BulkWriter::Result BulkWriter::write(const QString &column, const QVariant &after,
                                     const QList<Target> &targets)
{
    Result result;
    result.ok = true;
    for (int start = 0; start < targets.size() && result.ok; start += chunkSize)
        result.ok = writeChunk(column, after, targets.mid(start, chunkSize), &result);
    return result;
}

bool BulkWriter::writeChunk(const QString &column, const QVariant &after,
                            const QList<Target> &targets, Result *result)
{
    StatementFailure failure = StatementFailure::None;
    bool committing = false;
    if (tryChunk(column, after, targets, result, &failure, &committing))
        return true;
    // Nothing of an uncommitted transaction survives a closed connection,
    // so the chunk can run again from its lock; a timeout or a commit that
    // met the loss may have gone through and is left to the read-back.
    if (failure != StatementFailure::ConnectionLost || committing || result->reconnected)
        return false;
    QString reopenError;
    if (!reopenConnection(&reopenError, QSqlDatabase::database(connection, false))) {
        result->error = QStringLiteral("%1; reconnecting failed: %2").arg(result->error, reopenError);
        return false;
    }
    result->reconnected = true;
    result->error.clear();
    return tryChunk(column, after, targets, result, &failure, &committing);
}

bool BulkWriter::tryChunk(const QString &column, const QVariant &after, const QList<Target> &targets,
                          Result *result, StatementFailure *failure, bool *committing)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlDriver *driver = db.driver();
    *committing = false;
    if (!driver || !db.isOpen()) {
        result->error = QStringLiteral("no connection to the database");
        *failure = StatementFailure::ConnectionLost;
        return false;
    }
    const QString quotedTable = driver->escapeIdentifier(table, QSqlDriver::TableName);
    const QString quotedColumn = driver->escapeIdentifier(column, QSqlDriver::FieldName);
    QElapsedTimer clock;
    auto failWith = [&](const QSqlError &error) {
        *failure = classifyFailure(db, error, clock.elapsed());
        result->error = failureText(error, *failure);
        db.rollback();
        return false;
    };
    auto fail = [&](const QSqlQuery &query) { return failWith(query.lastError()); };

    clock.start();
    if (!db.transaction())
        return failWith(db.lastError());
    QSqlQuery lock(db);
    lock.setForwardOnly(true);
    if (!lock.prepare(QStringLiteral("SELECT id, %1 FROM %2 WHERE id IN (%3) FOR UPDATE")
                          .arg(quotedColumn, quotedTable, placeholders(targets.size()))))
        return fail(lock);
    for (const Target &target : targets)
        lock.addBindValue(target.id);
    clock.start();
    if (!lock.exec())
        return fail(lock);
    QHash<QString, QVariant> now;
    while (lock.next())
        now.insert(lock.value(0).toString(), lock.value(1));

    QList<QVariant> matching;
    QList<QVariant> conflicting;
    QList<QVariant> gone;
    for (const Target &target : targets) {
        const QString key = target.id.toString();
        auto found = now.constFind(key);
        if (found == now.cend())
            gone << target.id;
        else if (ShotWriter::sameStored(found.value(), target.before))
            matching << target.id;
        else if (ShotWriter::sameStored(found.value(), after))
            matching << target.id; // already holds the value: nothing lost
        else {
            conflicting << target.id;
            result->stored.insert(key, found.value());
        }
    }
    if (!matching.isEmpty()) {
        QSqlQuery update(db);
        if (!update.prepare(QStringLiteral("UPDATE %1 SET %2 = ? WHERE id IN (%3)")
                                .arg(quotedTable, quotedColumn, placeholders(matching.size()))))
            return fail(update);
        update.addBindValue(ShotWriter::bindable(after));
        for (const QVariant &id : std::as_const(matching))
            update.addBindValue(id);
        clock.start();
        if (!update.exec())
            return fail(update);
    }
    *committing = true;
    clock.start();
    if (!db.commit())
        return failWith(db.lastError());
    result->written << matching;
    result->conflicting << conflicting;
    result->gone << gone;
    return true;
}
