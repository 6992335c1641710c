#pragma once

#include <QString>

// The columns of shots in words: the same words head the grid's columns and
// label the form's fields, and messages name fields by them.
namespace ShotColumns {

// "Location", "Duration (s)", ...; the column's own name when it has no word.
QString label(const QString &column);
// What the column holds, for tooltips.
QString description(const QString &column);

} // namespace ShotColumns
