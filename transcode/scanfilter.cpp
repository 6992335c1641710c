#include "transcode/scanfilter.h"

#include "db/reconnect.h"
#include "db/statements.h"

#include <QElapsedTimer>
#include <QSqlError>

ScanFilter::ScanFilter(bool online, const QString &condition)
    : active(online && !condition.trimmed().isEmpty())
    , condition(condition)
{
}

QString ScanFilter::statement() const
{
    return QString::fromLatin1(Sql::findShotByFilename) + QStringLiteral("AND (") + condition
        + QStringLiteral(")");
}

QString ScanFilter::conditionProblem(const QString &condition)
{
    int depth = 0;
    QChar quote;
    for (int i = 0; i < condition.size(); ++i) {
        const QChar c = condition.at(i);
        if (!quote.isNull()) {
            if (c == QLatin1Char('\\'))
                ++i;
            else if (c == quote)
                quote = QChar();
            continue;
        }
        if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')) {
            quote = c;
        } else if (c == QLatin1Char('(')) {
            ++depth;
        } else if (c == QLatin1Char(')') && --depth < 0) {
            return QStringLiteral("the condition closes a bracket it did not open");
        }
    }
    if (!quote.isNull())
        return QStringLiteral("the condition leaves a quotation open");
    if (depth > 0)
        return QStringLiteral("the condition leaves a bracket open");
    return QString();
}

bool ScanFilter::check()
{
    if (!active)
        return true;
    prepared = false;
    // No clip has an empty path, so this only asks whether the server takes
    // the statement.
    return verdict(QString()) != Failed;
}

bool ScanFilter::runOnce(const QString &clipPath, bool *found, qint64 *elapsedMs)
{
    QElapsedTimer clock;
    clock.start();
    if (!prepared) {
        query = QSqlQuery();
        query.setForwardOnly(true);
        prepared = query.prepare(statement());
        if (!prepared) {
            *elapsedMs = clock.elapsed();
            return false;
        }
    }
    query.bindValue(QStringLiteral(":fn"), clipPath);
    const bool ok = query.exec();
    *elapsedMs = clock.elapsed();
    if (!ok)
        return false;
    // next() rather than size(): it also works where the driver cannot
    // count the rows.
    *found = query.next();
    query.finish();
    return true;
}

bool ScanFilter::prepareAndRun(const QString &clipPath, bool *found)
{
    qint64 elapsed = 0;
    if (runOnce(clipPath, found, &elapsed))
        return true;
    const QSqlDatabase db = QSqlDatabase::database(QSqlDatabase::defaultConnection, false);
    StatementFailure failure = classifyFailure(db, query.lastError(), elapsed);
    error = failureText(query.lastError(), failure);
    if (failure == StatementFailure::Refused)
        return false;
    // A lost connection (the server restarted) is reopened once; the
    // statement must then be prepared again.
    QString reopenError;
    query = QSqlQuery();
    prepared = false;
    if (!reopenConnection(&reopenError, db)) {
        error += QStringLiteral("; reconnecting failed: ") + reopenError;
        return false;
    }
    if (runOnce(clipPath, found, &elapsed)) {
        error.clear();
        return true;
    }
    failure = classifyFailure(db, query.lastError(), elapsed);
    error = failureText(query.lastError(), failure);
    return false;
}

ScanFilter::Verdict ScanFilter::verdict(const QString &clipPath)
{
    if (!active)
        return Accepted;
    if (!prepared) {
        error = conditionProblem(condition);
        if (!error.isEmpty())
            return Failed;
    }
    bool found = false;
    if (!prepareAndRun(clipPath, &found))
        return Failed;
    return found ? Accepted : Skipped;
}
