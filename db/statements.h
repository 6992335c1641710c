#pragma once

// Every statement the client issues on the shared database, in one place.
// Values are always bound; only the project id of the grid's filter, the
// find words (quoted by the driver's formatValue, see shots/shotfilter.cpp)
// and the transcode condition typed by the user become part of a
// statement's text.
namespace Sql {
inline const char selectProjects[] = "Select name, description, id From projects";
inline const char shotsTable[] = "shots";
inline const char shotsFilter[] = "project=%1";
inline const char countProjectShots[] = "Select count(*) From shots Where project=?";
inline const char findShotByDigests[] = "Select id from shots Where MD5=:md And SHA1=:sh";
inline const char insertShot[] =
    "Insert Into shots (project, filename, MD5, SHA1) Values (:project, :filename, :md, :sh)";
inline const char findShotByFilename[] = "Select id from shots Where filename=:fn ";
// The sync checks its project before writing anything, and after a failed
// statement tells a lost connection from a refused statement.
inline const char findProject[] = "Select id From projects Where id=:project";
inline const char checkConnection[] = "Select 1";
} // namespace Sql

// The sync names its project, and at its end the projects whose shots some
// clips matched (the shot ids are numbers from the database itself).
namespace Sql {
inline const char findProjectName[] = "Select id, name From projects Where id=:project";
inline const char projectsOfShots[] =
    "Select s.id, s.project, p.name From shots s Left Join projects p On p.id = s.project Where s.id In (%1)";
} // namespace Sql
