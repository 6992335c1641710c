#pragma once

// Every statement the client issues on the shared database, in one place
// (the grid's reads are made by shots/shotreader.cpp from the columns the
// server reports). Values are always bound; only the transcode condition
// typed by the user becomes part of a statement's text.
namespace Sql {
inline const char selectProjects[] = "Select name, description, id From projects";
inline const char shotsTable[] = "shots";
inline const char countProjectShots[] = "Select count(*) From shots Where project=?";
// The chooser's number of shots per project, in one statement.
inline const char shotsPerProject[] = "Select project, count(*) From shots Group By project";
inline const char findShotByDigests[] = "Select id from shots Where MD5=:md And SHA1=:sh";
inline const char insertShot[] =
    "Insert Into shots (project, filename, MD5, SHA1) Values (:project, :filename, :md, :sh)";
inline const char findShotByFilename[] = "Select id from shots Where filename=:fn ";
// The sync checks its project before writing anything.
inline const char findProject[] = "Select id From projects Where id=:project";
} // namespace Sql

// The sync names its project, and at its end the projects whose shots some
// clips matched ("%1" stands for one placeholder per shot id).
namespace Sql {
inline const char findProjectName[] = "Select id, name From projects Where id=:project";
inline const char projectsOfShots[] =
    "Select s.id, s.project, p.name From shots s Left Join projects p On p.id = s.project Where s.id In (%1)";
} // namespace Sql

// The shared history of edits (an optional table: without it, edits are
// made as before and nothing is recorded). Each changed field is one row;
// all rows of one user action share a change set, numbered by the id of
// its first row.
namespace Sql {
inline const char historyTable[] = "shot_changes";
inline const char historyTableExists[] =
    "Select count(*) From information_schema.tables Where table_schema = DATABASE() And table_name = 'shot_changes'";
inline const char insertShotChanges[] =
    "Insert Into shot_changes (shot_id, column_name, old_value, new_value, change_set, undoes, os_user, host, db_user) "
    "Values ";
// Who made a change is cut to what its column holds (a long login name or
// host name must never block the edit it describes).
inline constexpr int historyOsUserChars = 64;
inline constexpr int historyHostChars = 255;
inline const char shotChangeRow[] = "(?, ?, ?, ?, ?, ?, ?, ?, Left(CURRENT_USER(), 128))";
inline const char checkHistoryTable[] =
    "Select id, shot_id, column_name, old_value, new_value, change_set, undoes, changed_at, db_user, os_user, host "
    "From shot_changes Limit 0";
inline const char setChangeSet[] = "Update shot_changes Set change_set = ? Where id = ?";
inline const char changesOfShot[] =
    "Select id, column_name, old_value, new_value, change_set, undoes, UNIX_TIMESTAMP(changed_at), db_user, os_user, "
    "host "
    "From shot_changes Where shot_id = ? Order By id Desc Limit 5000";
inline const char changesOfSet[] =
    "Select shot_id, column_name, old_value, new_value From shot_changes Where change_set = ? Order By id";
inline const char createHistoryTable[] =
    "CREATE TABLE IF NOT EXISTS shot_changes (\n"
    "    id          BIGINT NOT NULL AUTO_INCREMENT,\n"
    "    shot_id     INT NOT NULL,\n"
    "    column_name VARCHAR(32) NOT NULL,\n"
    "    old_value   MEDIUMTEXT NULL,\n"
    "    new_value   MEDIUMTEXT NULL,\n"
    "    change_set  BIGINT NULL,\n"
    "    undoes      BIGINT NULL,\n"
    "    changed_at  TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),\n"
    "    db_user     VARCHAR(128) NULL,\n"
    "    os_user     VARCHAR(64) NULL,\n"
    "    host        VARCHAR(255) NULL,\n"
    "    PRIMARY KEY (id),\n"
    "    KEY shot_changes_shot (shot_id),\n"
    "    KEY shot_changes_set (change_set)\n"
    ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin";
} // namespace Sql

// Quick tags (optional tables: without them the Tags column, the form's tag
// buttons and Alt+1 ... Alt+9 are off). shot_tags holds the tags each shot
// carries; project_tags a project's list, in the order of their keys. A
// shot's tags travel as one text, "Good, Print": sorted, ", " between them,
// NULL for none; a tag never holds a comma.
namespace Sql {
inline const char shotTagsTable[] = "shot_tags";
inline const char projectTagsTable[] = "project_tags";
inline const char createShotTags[] =
    "CREATE TABLE IF NOT EXISTS shot_tags (\n"
    "    shot_id INT NOT NULL,\n"
    "    tag     VARCHAR(64) NOT NULL,\n"
    "    PRIMARY KEY (shot_id, tag)\n"
    ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci";
inline const char createProjectTags[] =
    "CREATE TABLE IF NOT EXISTS project_tags (\n"
    "    project_id INT NOT NULL,\n"
    "    position   INT NOT NULL,\n"
    "    tag        VARCHAR(64) NOT NULL,\n"
    "    PRIMARY KEY (project_id, position)\n"
    ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci";
inline const char checkShotTags[] = "Select shot_id, tag From shot_tags Limit 0";
inline const char checkProjectTags[] = "Select project_id, position, tag From project_tags Limit 0";
// A shot's tags as one text; "%1" is the shots table's id column.
inline const char tagsOfShot[] =
    "(Select Group_Concat(t.tag Order By t.tag Separator ', ') From shot_tags t Where t.shot_id = %1)";
// The tags of many shots: "%1" is replaced by placeholders of their ids.
inline const char tagsOfShots[] =
    "Select shot_id, Group_Concat(tag Order By tag Separator ', ') From shot_tags Where shot_id In (%1) "
    "Group By shot_id";
// The tags of a project's shots that have any: "%1" the shots table,
// "%2" its id column, "%3" its project column, each quoted.
inline const char tagsOfProjectShots[] =
    "Select t.shot_id, Group_Concat(t.tag Order By t.tag Separator ', ') From shot_tags t Join %1 s On s.%2 = "
    "t.shot_id Where s.%3 = ? Group By t.shot_id";
inline const char deleteTagsOfShots[] = "Delete From shot_tags Where shot_id In (%1)";
inline const char insertShotTags[] = "Insert Into shot_tags (shot_id, tag) Values ";
inline const char tagsOfProject[] = "Select tag From project_tags Where project_id = ? Order By position";
inline const char deleteProjectTags[] = "Delete From project_tags Where project_id = ?";
inline const char insertProjectTags[] = "Insert Into project_tags (project_id, position, tag) Values ";
} // namespace Sql
