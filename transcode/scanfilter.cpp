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

bool ScanFilter::check()
{
    if (!active)
        return true;
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
