#pragma once

#include <QSqlDatabase>
#include <QString>

class QSqlError;

// What a failed statement means for the action that ran it.
enum class StatementFailure {
    None,           // it went through
    Refused,        // the server answered with an error (bad value, no right)
    ConnectionLost, // the server closed the connection, or it was never open
    TimedOut,       // the server did not answer within the statement limit
    Cancelled,      // the user stopped the action while it waited for the server
};

// True when the driver's error means the connection is gone (closed by the
// server, lost mid-statement, or never reached), not a refused statement.
bool isLostConnection(const QSqlError &error);

// Tells the three apart from the driver's error and how long the statement
// took: the client library reports a read that timed out as a lost
// connection, so a lost connection after (nearly) the whole limit counts as
// a timeout. A write that timed out may have committed and must not be
// repeated; one that met a closed connection never reached the server.
StatementFailure classifyFailure(const QSqlDatabase &db, const QSqlError &error, qint64 elapsedMs);

// Closes and reopens a connection with the login it was opened with (the
// default connection unless another is given). A reconnect invalidates
// every query prepared on it and every model's result: callers prepare
// again and re-read. On failure error holds the driver's reason, never an
// empty text.
bool reopenConnection(QString *error, QSqlDatabase db = QSqlDatabase::database(QSqlDatabase::defaultConnection, false));

// The driver's error text, or a plain account of the failure when the
// driver gave none.
QString failureText(const QSqlError &error, StatementFailure failure);
