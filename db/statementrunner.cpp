#include "db/statementrunner.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>

StatementRunner::StatementRunner(const QSqlDatabase &db)
    : db(db)
{
}

QVariant bindableValue(const QVariant &value)
{
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return value.isNull() ? QVariant(QMetaType::fromType<int>()) : QVariant(value.toInt());
    if (!value.isValid())
        return QVariant(QMetaType::fromType<QString>());
    return value;
}

StatementResult StatementRunner::failed(const QSqlError &error, qint64 elapsedMs)
{
    StatementResult result;
    result.failure = classifyFailure(db, error, elapsedMs);
    if (result.failure == StatementFailure::None)
        result.failure = StatementFailure::Refused; // an error without a type still failed
    result.error = failureText(error, result.failure);
    result.nativeCode = error.nativeErrorCode();
    result.reconnected = reopened;
    return result;
}

StatementResult StatementRunner::runOnce(QSqlQuery &query, const QString &statement, const QVariantList &values)
{
    query = QSqlQuery(db);
    query.setForwardOnly(true);
    QElapsedTimer clock;
    clock.start();
    if (values.isEmpty()) {
        // Nothing to bind: sent as it is, one round trip instead of two.
        if (!query.exec(statement))
            return failed(query.lastError(), clock.elapsed());
    } else {
        if (!query.prepare(statement))
            return failed(query.lastError(), clock.elapsed());
        for (const QVariant &value : values)
            query.addBindValue(bindableValue(value));
        if (!query.exec())
            return failed(query.lastError(), clock.elapsed());
    }
    StatementResult result;
    result.reconnected = reopened;
    return result;
}

StatementResult StatementRunner::cancelledResult() const
{
    StatementResult result;
    result.failure = StatementFailure::Cancelled;
    result.error = QStringLiteral("cancelled while waiting for the server");
    result.reconnected = reopened;
    return result;
}

StatementResult StatementRunner::stopReason() const
{
    if (givenUp())
        return stopResult;
    if (isCancelled())
        return cancelledResult();
    return StatementResult();
}

bool StatementRunner::reopen(QString *error)
{
    if (isCancelled()) {
        if (error)
            *error = QStringLiteral("cancelled");
        stopResult = cancelledResult();
        return false;
    }
    if (reopenTried) {
        if (error)
            *error = QStringLiteral("the connection was already reopened once for this action");
        return false;
    }
    reopenTried = true;
    QString reason;
    if (hooks.beforeReopen)
        hooks.beforeReopen();
    const bool opened = reopenConnection(&reason, db);
    if (hooks.afterReopen)
        hooks.afterReopen();
    if (!opened) {
        reopenError = reason;
        if (error)
            *error = reason;
        StatementResult stop;
        stop.failure = StatementFailure::ConnectionLost;
        stop.error = QStringLiteral("the connection to the server is lost; reconnecting failed: %1").arg(reason);
        stopResult = stop;
        return false;
    }
    reopened = true;
    stopResult = StatementResult();
    return true;
}

bool StatementRunner::reopenAfter(StatementResult &result)
{
    lostError = result.error;
    QString reason;
    if (reopen(&reason))
        return true;
    result.error += QStringLiteral("; reconnecting failed: ") + reason;
    stopResult = result;
    return false;
}

StatementResult StatementRunner::run(QSqlQuery &query, const QString &statement, const QVariantList &values,
                                     Kind kind)
{
    if (givenUp())
        return stopResult;
    if (isCancelled())
        return stopResult = cancelledResult();
    StatementResult result = runOnce(query, statement, values);
    if (!result.ok() && isCancelled())
        return stopResult = cancelledResult(); // cut off by the cancel, not by the server
    if (result.ok() || result.failure == StatementFailure::Refused)
        return result;
    if (inTransaction)
        return result; // transaction() decides what a lost connection means
    if (result.failure == StatementFailure::TimedOut) {
        // One limit per action: what follows fails at once.
        stopResult = result;
        return result;
    }
    // Lost: a read is safe to repeat once on a new connection; a write
    // outside a transaction is not repeated, but the connection is made
    // usable again for what follows.
    if (!reopenAfter(result))
        return result;
    if (kind == Write) {
        result.reconnected = true;
        return result;
    }
    result = runOnce(query, statement, values);
    if (!result.ok() && result.failure != StatementFailure::Refused)
        stopResult = result;
    return result;
}

StatementResult StatementRunner::transaction(const std::function<StatementResult()> &body, bool *committing)
{
    if (committing)
        *committing = false;
    for (;;) {
        if (givenUp())
            return stopResult;
        if (isCancelled())
            return stopResult = cancelledResult();
        QElapsedTimer clock;
        clock.start();
        StatementResult result;
        if (!db.transaction()) {
            result = failed(db.lastError(), clock.elapsed());
        } else {
            inTransaction = true;
            result = body();
            inTransaction = false;
            if (!result.ok()) {
                db.rollback();
            } else {
                clock.start();
                if (!db.commit()) {
                    result = failed(db.lastError(), clock.elapsed());
                    if (committing)
                        *committing = true;
                    if (isCancelled())
                        result.failure = StatementFailure::Cancelled;
                    // The commit may have reached the server: never repeated.
                    if (result.failure != StatementFailure::Refused)
                        stopResult = result;
                    db.rollback();
                    return result;
                }
            }
        }
        if (!result.ok() && isCancelled())
            return stopResult = cancelledResult(); // nothing was committed
        if (result.ok() || result.failure == StatementFailure::Refused)
            return result;
        if (result.failure == StatementFailure::TimedOut) {
            stopResult = result;
            return result;
        }
        // Lost before the commit: nothing of the body reached the tables.
        if (!reopenAfter(result))
            return result;
    }
}
