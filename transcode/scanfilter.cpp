#include "transcode/scanfilter.h"

#include "db/dbworker.h"
#include "db/statements.h"

#include <QSqlQuery>

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
    // No clip has an empty path, so this only asks whether the server takes
    // the statement.
    return verdict(QString()) != Failed;
}

ScanFilter::Verdict ScanFilter::verdict(const QString &clipPath)
{
    if (!active)
        return Accepted;
    if (!checked) {
        error = conditionProblem(condition);
        if (!error.isEmpty())
            return Failed;
        checked = true;
    }
    const QString text = statement();
    StatementResult result;
    bool found = false;
    DbWorker::shared()->runAndWait(
        &answers,
        [text, clipPath, &result, &found](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            QSqlQuery query(session.database());
            query.setForwardOnly(true);
            const StatementResult ran = runner.run(query, text, {clipPath});
            // next() rather than size(): it also works where the driver
            // cannot count the rows.
            const bool hit = ran.ok() && query.next();
            return [&result, &found, ran, hit]() {
                result = ran;
                found = hit;
            };
        },
        QStringLiteral("Checking clips against the condition"));
    if (!result.ok()) {
        error = result.error;
        return Failed;
    }
    error.clear();
    return found ? Accepted : Skipped;
}
