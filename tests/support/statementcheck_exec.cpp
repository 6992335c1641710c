// Runs a statement past the runner, for the test that shows the check
// refusing it. Never linked into anything.
#include <QSqlQuery>

bool runsAStatementItself(QSqlQuery &query)
{
    return query.exec(QStringLiteral("Select 1"));
}
