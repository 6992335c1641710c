#pragma once

#include <QString>
#include <QStringList>

class QSqlDriver;

// The row filter of the shot grid: the project, narrowed by the words typed
// into the find field and, when asked, to shots not yet logged. Built as SQL
// text because the table model takes its filter as text; every typed word
// reaches it only through the driver's own formatValue, never pasted.
// Widget-free, so tests and benchmarks build it without a screen.
namespace ShotFilter {

// The columns the find field searches: the descriptive text, not the digests.
QStringList searchedColumns();

// The typed text split into words at white space; empty words dropped.
QStringList words(const QString &typed);

// A LIKE pattern that finds word literally anywhere: \, % and _ escaped.
QString containsPattern(const QString &word);

// "project=N", then one condition per word (every word must match, in any
// of the searched columns, case-insensitive) and the not-yet-logged one.
// driver quotes the words; it must belong to an open connection. With
// media (rows read joined to shot_media as m), the recording time, start
// timecode, picture size and the problem reading a clip are searched too.
QString condition(int projectId, const QString &typed, bool notYetLogged, const QSqlDriver *driver,
                  bool withMedia = false);

} // namespace ShotFilter
