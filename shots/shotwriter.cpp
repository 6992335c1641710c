#include "shots/shotwriter.h"

#include <QElapsedTimer>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>

ShotWriter::ShotWriter(const QString &table, const QString &connection)
    : table(table)
    , connection(connection)
{
}

QSqlDatabase ShotWriter::database() const
{
    return QSqlDatabase::database(connection, false);
}

bool ShotWriter::sameStored(const QVariant &a, const QVariant &b)
{
    const bool aNull = a.isNull() || !a.isValid();
    const bool bNull = b.isNull() || !b.isValid();
    if (aNull || bNull)
        return aNull && bNull;
    auto text = [](const QVariant &v) {
        const int type = v.metaType().id();
        if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
            return QString::number(v.toInt());
        if (type == QMetaType::Bool)
            return QString::number(v.toBool() ? 1 : 0);
        return v.toString();
    };
    return text(a) == text(b);
}

QVariant ShotWriter::bindable(const QVariant &value)
{
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return value.isNull() ? QVariant(QMetaType::fromType<int>()) : QVariant(value.toInt());
    if (!value.isValid())
        return QVariant(QMetaType::fromType<QString>());
    return value;
}

bool ShotWriter::runUpdate(const QVariant &id, const QList<Field> &fields, int *matched,
                           StatementFailure *failure, QString *error)
{
    QSqlDatabase db = database();
    QSqlDriver *driver = db.driver();
    auto quoted = [driver](const QString &name) {
        return driver ? driver->escapeIdentifier(name, QSqlDriver::FieldName) : name;
    };
    QStringList sets;
    QStringList checks;
    for (const Field &field : fields) {
        sets << quoted(field.column) + QStringLiteral(" = ?");
        // BINARY: the stored bytes, not the collation's idea of equal (which
        // ignores case and trailing blanks). <=> treats NULL as a value.
        checks << QStringLiteral("BINARY %1 <=> BINARY ?").arg(quoted(field.column));
    }
    QSqlQuery query(db);
    const QString statement = QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ? AND %4")
                                  .arg(quoted(table), sets.join(QStringLiteral(", ")),
                                       quoted(QStringLiteral("id")),
                                       checks.join(QStringLiteral(" AND ")));
    QElapsedTimer clock;
    clock.start();
    bool ok = query.prepare(statement);
    if (ok) {
        for (const Field &field : fields)
            query.addBindValue(bindable(field.after));
        query.addBindValue(id);
        for (const Field &field : fields)
            query.addBindValue(bindable(field.before));
        ok = query.exec();
    }
    if (!ok) {
        *failure = classifyFailure(db, query.lastError(), clock.elapsed());
        *error = failureText(query.lastError(), *failure);
        return false;
    }
    // The connection counts matched rows (CLIENT_FOUND_ROWS), so an UPDATE
    // that writes what is stored already still reports its row.
    *matched = query.numRowsAffected();
    *failure = StatementFailure::None;
    return true;
}

QSqlRecord ShotWriter::readRow(const QVariant &id, bool *found, StatementFailure *failure,
                               QString *error, bool *reconnected)
{
    *found = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        QSqlDatabase db = database();
        QSqlQuery query(db);
        query.setForwardOnly(true);
        QElapsedTimer clock;
        clock.start();
        const QString statement = QStringLiteral("SELECT * FROM %1 WHERE id = ?").arg(table);
        if (query.prepare(statement)) {
            query.addBindValue(id);
            if (query.exec()) {
                if (failure)
                    *failure = StatementFailure::None;
                if (!query.next())
                    return QSqlRecord();
                *found = true;
                return query.record();
            }
        }
        const StatementFailure why = classifyFailure(db, query.lastError(), clock.elapsed());
        if (failure)
            *failure = why;
        if (error)
            *error = failureText(query.lastError(), why);
        // A read is safe to repeat once on a new connection.
        if (attempt > 0 || why == StatementFailure::Refused)
            return QSqlRecord();
        QString reopenError;
        if (!reopenConnection(&reopenError, db)) {
            if (error)
                *error += QStringLiteral("; reconnecting failed: ") + reopenError;
            return QSqlRecord();
        }
        if (reconnected)
            *reconnected = true;
    }
    return QSqlRecord();
}

ShotWriter::Result ShotWriter::write(const QVariant &id, const QList<Field> &fields)
{
    Result result;
    QList<Field> pending = fields;
    bool retriedAfterLoss = false;
    // At most a few rounds: a field another client changes in the instant
    // between our read-back and our next write is reported, not fought over.
    for (int round = 0; round < 4 && !pending.isEmpty(); ++round) {
        int matched = 0;
        StatementFailure failure = StatementFailure::None;
        QString error;
        if (!runUpdate(id, pending, &matched, &failure, &error)) {
            if (failure == StatementFailure::ConnectionLost && !retriedAfterLoss) {
                // The statement never reached a live server; a new
                // connection may carry it, and the old-value check keeps
                // the repeat from overwriting anything.
                retriedAfterLoss = true;
                QString reopenError;
                if (reopenConnection(&reopenError, database())) {
                    result.reconnected = true;
                    --round;
                    continue;
                }
                error += QStringLiteral("; reconnecting failed: ") + reopenError;
            }
            if (failure == StatementFailure::Refused && pending.size() > 1) {
                // One value the server refuses (too long for its column)
                // must not hold back the others: each is tried on its own.
                QList<Field> refused;
                QString firstError;
                for (const Field &field : pending) {
                    const Result single = write(id, {field});
                    result.reconnected = result.reconnected || single.reconnected;
                    result.written += single.written;
                    result.conflicting += single.conflicting;
                    if (single.status == Gone)
                        return single;
                    if (single.status == Failed) {
                        refused << field;
                        if (firstError.isEmpty()) {
                            firstError = single.error;
                            result.failure = single.failure;
                        }
                    }
                    if (!single.stored.isEmpty())
                        result.stored = single.stored;
                }
                if (!refused.isEmpty()) {
                    result.status = Failed;
                    result.error = firstError;
                } else {
                    result.status = result.conflicting.isEmpty() ? Written : Conflict;
                }
                return result;
            }
            result.failure = failure;
            result.error = error;
            if (failure == StatementFailure::TimedOut) {
                // Never repeated: it may have committed. The row read back
                // (on a new connection) tells what the server holds.
                QString reopenError;
                if (reopenConnection(&reopenError, database())) {
                    result.reconnected = true;
                    bool found = false;
                    result.stored = readRow(id, &found);
                    if (found) {
                        QList<Field> stillPending;
                        for (const Field &field : pending) {
                            if (sameStored(result.stored.value(field.column), field.after))
                                result.written << field.column;
                            else
                                stillPending << field;
                        }
                        if (stillPending.isEmpty()) {
                            result.status = result.conflicting.isEmpty() ? Written : Conflict;
                            result.failure = StatementFailure::None;
                            result.error.clear();
                            return result;
                        }
                    }
                } else {
                    result.error += QStringLiteral("; reconnecting failed: ") + reopenError;
                }
            }
            result.status = Failed;
            return result;
        }
        if (matched > 0) {
            for (const Field &field : pending)
                result.written << field.column;
            pending.clear();
            break;
        }
        // Nothing matched: the shot is gone, or some field no longer holds
        // what this client read. The row tells which.
        bool found = false;
        StatementFailure readFailure = StatementFailure::None;
        QString readError;
        bool readReconnected = false;
        result.stored = readRow(id, &found, &readFailure, &readError, &readReconnected);
        result.reconnected = result.reconnected || readReconnected;
        if (!found) {
            if (readFailure != StatementFailure::None) {
                result.status = Failed;
                result.failure = readFailure;
                result.error = readError;
                return result;
            }
            result.status = Gone;
            return result;
        }
        QList<Field> next;
        for (const Field &field : pending) {
            const QVariant now = result.stored.value(field.column);
            if (sameStored(now, field.after))
                result.written << field.column; // someone stored the same already
            else if (sameStored(now, field.before))
                next << field; // untouched; held back only by another field
            else
                result.conflicting << field.column;
        }
        pending = next;
    }
    result.status = result.conflicting.isEmpty() ? Written : Conflict;
    if (!pending.isEmpty()) {
        // Still contested after several rounds.
        for (const Field &field : pending)
            result.conflicting << field.column;
        result.status = Conflict;
    }
    return result;
}
