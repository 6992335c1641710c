#include "db/reconnect.h"

#include "db/connectionsettings.h"
#include "db/servererrors.h"

#include <QSqlError>
#include <QStringList>

bool isLostConnection(const QSqlError &error)
{
    return error.type() == QSqlError::ConnectionError || ServerError::meansLostConnection(error.nativeErrorCode());
}

StatementFailure classifyFailure(const QSqlDatabase &db, const QSqlError &error, qint64 elapsedMs)
{
    if (!error.isValid() && db.isOpen())
        return StatementFailure::None;
    const bool lost = !db.isOpen() || isLostConnection(error);
    if (!lost)
        return StatementFailure::Refused;
    const QString text = error.text();
    const qint64 limitMs = effectiveStatementTimeout() * 1000LL;
    if (elapsedMs >= limitMs - 500 || text.contains(QLatin1String("timeout"), Qt::CaseInsensitive)
        || text.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
        return StatementFailure::TimedOut;
    return StatementFailure::ConnectionLost;
}

bool reopenConnection(QString *error, QSqlDatabase db)
{
    if (!db.isValid()) {
        if (error)
            *error = QStringLiteral("no database connection was set up");
        return false;
    }
    db.close();
    if (db.open())
        return true;
    if (error) {
        *error = db.lastError().text().trimmed();
        if (error->isEmpty())
            *error = QStringLiteral("the server did not accept the connection");
    }
    return false;
}

QString failureText(const QSqlError &error, StatementFailure failure)
{
    const QString text = error.text().trimmed();
    if (failure == StatementFailure::TimedOut)
        return QStringLiteral("the server did not answer within %1 s%2")
            .arg(effectiveStatementTimeout())
            .arg(text.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(text));
    if (!text.isEmpty())
        return text;
    if (failure == StatementFailure::ConnectionLost)
        return QStringLiteral("the connection to the server is lost");
    return QStringLiteral("the server refused the statement without giving a reason");
}
