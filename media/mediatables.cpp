#include "media/mediatables.h"

#include "db/statements.h"

#include "db/mediastatements.h"
#include "db/statementrunner.h"

#include <QSqlQuery>

namespace {

struct TableCheck
{
    bool usable = false;
    bool missing = false;
    bool lost = false;
    QString reason;
};

TableCheck checkTable(StatementRunner &runner, const char *table, const char *statement)
{
    TableCheck result;
    QSqlQuery query(runner.database());
    const StatementResult ran = runner.run(query, QLatin1String(statement));
    if (ran.ok()) {
        result.usable = true;
        return result;
    }
    if (ran.failure != StatementFailure::Refused || ran.nativeCode.isEmpty()) {
        // No answer, no connection, or a cancel: the tables may well be
        // there. A failure without the server's error number is the
        // client's own (a connection that is not open), not the server's
        // word on the table.
        result.lost = true;
        result.reason = ran.error;
        return result;
    }
    switch (ran.refusal()) {
    case ServerError::Refusal::NoSuchTable:
        result.missing = true;
        result.reason = QStringLiteral("the database has no table %1").arg(QLatin1String(table));
        break;
    case ServerError::Refusal::NoRight:
        result.reason = QStringLiteral("this user may not read the table %1").arg(QLatin1String(table));
        break;
    default:
        result.reason = QStringLiteral("the table %1 is not as this version expects (%2)")
                            .arg(QLatin1String(table), ran.error.trimmed());
        break;
    }
    return result;
}

} // namespace

MediaTables::State MediaTables::check(StatementRunner &runner)
{
    State state;
    const TableCheck media = checkTable(runner, Sql::shotMediaTable, Sql::checkShotMedia);
    const TableCheck posters =
        media.lost ? media : checkTable(runner, Sql::shotPostersTable, Sql::checkShotPosters);
    state.media = media.usable;
    state.posters = posters.usable;
    state.connectionLost = media.lost || posters.lost;
    if (media.missing && posters.missing)
        state.reason = QStringLiteral("the database has no tables %1 and %2")
                           .arg(QLatin1String(Sql::shotMediaTable), QLatin1String(Sql::shotPostersTable));
    else
        state.reason = !media.usable ? media.reason : posters.reason;
    return state;
}

QString MediaTables::enableHint(const State &state)
{
    // A connection that is gone says nothing about the tables.
    if (state.available() || state.connectionLost)
        return QString();
    return QStringLiteral("Clip facts and posters are off: %1. An administrator turns them on with "
                          "tavelo-sync --setup-database.")
        .arg(state.reason);
}

QString MediaTables::Setup::text() const
{
    if (created.isEmpty())
        return QStringLiteral("Nothing changed: the tables %1, %2, %3, %4 and %5 are already there.")
            .arg(QLatin1String(Sql::shotMediaTable), QLatin1String(Sql::shotPostersTable),
                 QLatin1String(Sql::historyTable), QLatin1String(Sql::shotTagsTable),
                 QLatin1String(Sql::projectTagsTable));
    QStringList lines;
    for (const QString &table : created)
        lines << QStringLiteral("Created the table %1.").arg(table);
    return lines.join(QLatin1Char('\n'));
}

MediaTables::Setup MediaTables::setup(StatementRunner &runner)
{
    Setup result;
    const struct
    {
        const char *table;
        const char *create;
        const char *check;
    } tables[] = {{Sql::shotMediaTable, Sql::createShotMedia, Sql::checkShotMedia},
                  {Sql::shotPostersTable, Sql::createShotPosters, Sql::checkShotPosters},
                  {Sql::historyTable, Sql::createHistoryTable, Sql::checkHistoryTable},
                  {Sql::shotTagsTable, Sql::createShotTags, Sql::checkShotTags},
                  {Sql::projectTagsTable, Sql::createProjectTags, Sql::checkProjectTags}};
    for (const auto &table : tables) {
        const TableCheck before = checkTable(runner, table.table, table.check);
        if (before.usable)
            continue;
        if (!before.missing) {
            result.error = QStringLiteral("The table %1 cannot be used: %2.").arg(QLatin1String(table.table), before.reason);
            return result;
        }
        QSqlQuery create(runner.database());
        const StatementResult created = runner.run(create, QLatin1String(table.create), {}, StatementRunner::Write);
        if (!created.ok()) {
            result.error = QStringLiteral("The table %1 could not be created: %2")
                               .arg(QLatin1String(table.table), created.error.trimmed());
            return result;
        }
        result.created << QLatin1String(table.table);
    }
    result.ok = true;
    return result;
}
