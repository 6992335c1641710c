#pragma once

#include <QString>

// The sync's statements for many clips at once: one lookup, one insert and
// one read-back of the new ids per batch instead of a round trip or two
// per clip. "%1" stands for a list of placeholders built below; every
// value is bound, in order.
namespace Sql {
// Shots of many digest pairs, each pair's rows in the order of their ids.
inline const char findShotsOfPairs[] = "Select id, MD5, SHA1 From shots Where (MD5, SHA1) In (%1) Order By id";
// New shots: four values per row, as insertShot binds them (project, path,
// MD5, SHA-1).
inline const char insertShots[] = "Insert Into shots (project, filename, MD5, SHA1) Values %1";
inline const int insertShotsColumns = 4;
// The ids of the shots just inserted, read back by their digests, path and
// project (never by assuming the server gave consecutive ids).
inline const char findNewShots[] =
    "Select id, MD5, SHA1, filename From shots Where project = ? And (MD5, SHA1) In (%1) Order By id";

// "(?, ?), (?, ?), ..." for count digest pairs.
QString digestPairs(int count);
// "(?, ?, ?), (?, ?, ?), ..." : count rows of columns placeholders.
QString valueRows(int count, int columns);
// "?, ?, ...": count placeholders for a list of single values.
QString placeholders(int count);
} // namespace Sql
