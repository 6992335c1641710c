#pragma once

// The optional tables that hold what the sync reads from each clip's media,
// keyed by content (MD5 and SHA-1), and every statement on them. The client
// never creates them during normal work: `tavelo-sync --setup-database`
// runs the two CREATE statements below (db/schema.sql holds the same text).
// Without them everything works as before and media reading is skipped.
namespace Sql {
inline const char shotMediaTable[] = "shot_media";
inline const char shotPostersTable[] = "shot_posters";

inline const char createShotMedia[] =
    "CREATE TABLE IF NOT EXISTS shot_media (\n"
    "    MD5                 CHAR(32) CHARACTER SET ascii NOT NULL,\n"
    "    SHA1                CHAR(40) CHARACTER SET ascii NOT NULL,\n"
    "    duration_ms         BIGINT NULL,\n"
    "    width               INT NULL,\n"
    "    height              INT NULL,\n"
    "    frame_rate          VARCHAR(16) NULL,\n"
    "    scan                VARCHAR(16) NULL,\n"
    "    video_codec         VARCHAR(32) NULL,\n"
    "    audio_codec         VARCHAR(32) NULL,\n"
    "    audio_channels      INT NULL,\n"
    "    audio_rate          INT NULL,\n"
    "    recorded_at         DATETIME NULL,\n"
    "    recorded_utc_offset SMALLINT NULL,\n"
    "    start_timecode      CHAR(11) NULL,\n"
    "    problem             TEXT NULL,\n"
    "    read_at             TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP,\n"
    "    PRIMARY KEY (MD5, SHA1)\n"
    ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci";

inline const char createShotPosters[] =
    "CREATE TABLE IF NOT EXISTS shot_posters (\n"
    "    MD5    CHAR(32) CHARACTER SET ascii NOT NULL,\n"
    "    SHA1   CHAR(40) CHARACTER SET ascii NOT NULL,\n"
    "    image  MEDIUMBLOB NOT NULL,\n"
    "    width  INT NULL,\n"
    "    height INT NULL,\n"
    "    PRIMARY KEY (MD5, SHA1)\n"
    ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci";

// Whether a table is there with the columns this client uses: these select
// nothing, but fail on a missing table or column.
inline const char checkShotMedia[] =
    "Select MD5, SHA1, duration_ms, width, height, frame_rate, scan, video_codec, audio_codec, audio_channels, "
    "audio_rate, recorded_at, recorded_utc_offset, start_timecode, problem, read_at From shot_media Limit 0";
inline const char checkShotPosters[] = "Select MD5, SHA1, image, width, height From shot_posters Limit 0";

// The facts as MediaFacts::fromRecord reads them, by column name; the
// recording time as text, so no time zone of the reading computer can
// shift it. The same list serves a statement that joins shots to
// shot_media as m (see shotMediaJoin).
inline const char mediaFactsColumns[] =
    "m.duration_ms, m.width, m.height, m.frame_rate, m.scan, m.video_codec, m.audio_codec, m.audio_channels, "
    "m.audio_rate, Cast(m.recorded_at As Char) As recorded_at, m.recorded_utc_offset, m.start_timecode, m.problem";
inline const char shotMediaJoin[] = "Left Join shot_media m On m.MD5 = shots.MD5 And m.SHA1 = shots.SHA1";

// One content's facts, and its problem alone (":md", ":sh": the digest
// texts as byte strings, as everywhere).
inline const char selectMediaFacts[] =
    "Select m.MD5, m.SHA1, m.duration_ms, m.width, m.height, m.frame_rate, m.scan, m.video_codec, m.audio_codec, "
    "m.audio_channels, m.audio_rate, Cast(m.recorded_at As Char) As recorded_at, m.recorded_utc_offset, "
    "m.start_timecode, m.problem From shot_media m Where m.MD5=:md And m.SHA1=:sh";
inline const char selectMediaProblem[] = "Select problem From shot_media Where MD5=:md And SHA1=:sh";
inline const char selectPoster[] = "Select image, width, height From shot_posters Where MD5=:md And SHA1=:sh";

// Many contents at once: "%1" is replaced by Sql::digestPairs(count), and
// the digests of each pair are bound in order (MD5, then SHA-1).
inline const char selectMediaFactsOfPairs[] =
    "Select m.MD5, m.SHA1, m.duration_ms, m.width, m.height, m.frame_rate, m.scan, m.video_codec, m.audio_codec, "
    "m.audio_channels, m.audio_rate, Cast(m.recorded_at As Char) As recorded_at, m.recorded_utc_offset, "
    "m.start_timecode, m.problem From shot_media m Where (m.MD5, m.SHA1) In (%1)";
inline const char selectPostersOfPairs[] =
    "Select MD5, SHA1, image From shot_posters Where (MD5, SHA1) In (%1)";
// Which contents have been read (a row, with facts or a problem).
inline const char selectReadPairs[] = "Select MD5, SHA1 From shot_media Where (MD5, SHA1) In (%1)";

// Rows written by the sync: "%1" is replaced by Sql::valueRows(count,
// columns). A row that another workstation wrote meanwhile is kept.
inline const char insertMediaFacts[] =
    "Insert Into shot_media (MD5, SHA1, duration_ms, width, height, frame_rate, scan, video_codec, audio_codec, "
    "audio_channels, audio_rate, recorded_at, recorded_utc_offset, start_timecode) Values %1 "
    "On Duplicate Key Update MD5 = MD5";
inline const int insertMediaFactsColumns = 14;
// A content that is not readable as video: its problem alone.
inline const char insertMediaProblems[] =
    "Insert Into shot_media (MD5, SHA1, problem) Values %1 On Duplicate Key Update MD5 = MD5";
inline const int insertMediaProblemsColumns = 3;
inline const char insertPosters[] =
    "Insert Into shot_posters (MD5, SHA1, image, width, height) Values %1 On Duplicate Key Update MD5 = MD5";
inline const int insertPostersColumns = 5;
} // namespace Sql
