#include "transcode/scanfilter.h"

#include "db/statements.h"

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
    error = conditionProblem(condition);
    if (!error.isEmpty())
        return false;
    query = QSqlQuery();
    query.setForwardOnly(true);
    prepared = query.prepare(statement());
    if (!prepared) {
        error = query.lastError().text();
        return false;
    }
    // No clip has an empty path, so this only asks whether the server takes
    // the statement.
    return verdict(QString()) != Failed;
}

ScanFilter::Verdict ScanFilter::verdict(const QString &clipPath)
{
    if (!active)
        return Accepted;
    if (!prepared && !check())
        return Failed;
    query.bindValue(QStringLiteral(":fn"), clipPath);
    if (!query.exec()) {
        error = query.lastError().text();
        if (error.trimmed().isEmpty())
            error = QStringLiteral("the statement failed");
        return Failed;
    }
    // next() rather than size(): it also works where the driver cannot
    // count the rows.
    const bool found = query.next();
    query.finish();
    return found ? Accepted : Skipped;
}
