#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>

#include "db/reconnect.h"
#include "db/servererrors.h"

class QSqlQuery;

// What became of one statement, or of the statements of one action.
struct StatementResult
{
    StatementFailure failure = StatementFailure::None;
    QString error;            // the server's text, or a plain account of the failure
    QString nativeCode;       // the server's error number ("1406": too long for its column)
    bool reconnected = false; // the connection was reopened: results read before are void

    bool ok() const { return failure == StatementFailure::None; }
    // What kind of refusal it was (None unless failure is Refused).
    ServerError::Refusal refusal() const
    {
        return failure == StatementFailure::Refused ? ServerError::refusalOf(nativeCode) : ServerError::Refusal::None;
    }
    // The column the server's refusal names, or an empty text.
    QString refusedColumn() const { return ServerError::columnNamed(error); }
    static StatementResult success() { return {}; }
};

// The one way the client runs a statement. Each user action gets a runner
// of its own, on a connection that belongs to the calling thread, so that
// the attempts of one action never add up: the connection is reopened at
// most once per action, and once the server has not answered (or could not
// be reached again) every later statement of the action fails at once with
// the same reason instead of waiting for another limit.
//
// A read that met a lost connection is repeated once on the reopened one.
// A write never is: a statement that timed out may have committed, and the
// caller reads back what the server holds. Writes go through transaction(),
// which runs its whole body again after a connection lost before the
// commit, when nothing of it can have reached the tables.
class StatementRunner
{
public:
    enum Kind { Read, Write };

    explicit StatementRunner(const QSqlDatabase &db);

    // Set by the database thread: whether the user cancelled the action
    // (a cancelled action never reconnects), and what to do around a
    // reopen (the thread keeps track of its connection's socket).
    struct Hooks
    {
        std::function<bool()> cancelled;
        std::function<void()> beforeReopen;
        std::function<void()> afterReopen;
    };
    void setHooks(const Hooks &hooks) { this->hooks = hooks; }
    bool isCancelled() const { return hooks.cancelled && hooks.cancelled(); }

    QSqlDatabase database() const { return db; }

    // Prepares statement, binds values in order and runs it. Reads outside a
    // transaction are repeated once after reopening a lost connection.
    StatementResult run(QSqlQuery &query, const QString &statement, const QVariantList &values = {},
                        Kind kind = Read);

    // Runs body between BEGIN and COMMIT. The body's statements run through
    // this runner; its first failure rolls the transaction back. After a
    // connection that was lost before the commit, the connection is reopened
    // (once per action) and body runs again from the start; a timeout or a
    // loss during the commit is never repeated (the commit may have gone
    // through). committing, when given, says whether a failure met the
    // commit itself.
    StatementResult transaction(const std::function<StatementResult()> &body, bool *committing = nullptr);

    // The connection was reopened during this action.
    bool reconnected() const { return reopened; }
    // The action has met a failure that ends it: later statements fail at once.
    bool givenUp() const { return !stopResult.ok(); }
    // Why the action cannot go on (cancelled, or the failure that ended
    // it); success while it can.
    StatementResult stopReason() const;

    // Reopens the connection now, if the action still may (after a write
    // that timed out, to read back what the server holds).
    bool reopen(QString *error = nullptr);

    // For what the caller reports: the failure of the statement that made
    // the action reopen the connection, and why reopening failed (each
    // empty when there was none).
    QString lossBeforeReopen() const { return lostError; }
    QString reopenFailure() const { return reopenError; }

private:
    StatementResult runOnce(QSqlQuery &query, const QString &statement, const QVariantList &values);
    StatementResult failed(const QSqlError &error, qint64 elapsedMs);

    StatementResult cancelledResult() const;
    // Reopens after result's loss; on failure adds why to result, and the
    // action stops there.
    bool reopenAfter(StatementResult &result);

    QSqlDatabase db;
    Hooks hooks;
    bool reopened = false;
    bool reopenTried = false;
    bool inTransaction = false;
    StatementResult stopResult;
    QString lostError;
    QString reopenError;
};

// A statement's values as they must be bound to reach their column
// unchanged: the driver reports a TINYINT as a char, which bound as such is
// sent as a one-character string; an invalid value is bound as NULL.
QVariant bindableValue(const QVariant &value);
