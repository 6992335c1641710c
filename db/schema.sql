-- Tables of the shared shot database. The client never runs this file; the
-- demo and test scripts load it into a fresh database.

CREATE TABLE IF NOT EXISTS projects (
    id          INT NOT NULL AUTO_INCREMENT,
    name        VARCHAR(255) NOT NULL,
    description TEXT NULL,
    PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- `id` must stay the first column and `project` the second: the shot grid
-- sorts by the first and hides the second.
CREATE TABLE IF NOT EXISTS shots (
    id        INT NOT NULL AUTO_INCREMENT,
    project   INT NOT NULL,
    filename  VARCHAR(512) COLLATE utf8mb4_bin NOT NULL,
    MD5       CHAR(32) CHARACTER SET ascii NOT NULL,
    SHA1      CHAR(40) CHARACTER SET ascii NOT NULL,
    location  TEXT NULL,
    scene     VARCHAR(255) NULL,
    shot      VARCHAR(255) NULL,
    prod      BOOLEAN NULL,
    duration  VARCHAR(64) NULL,
    quality   INT NULL,
    takes     VARCHAR(255) NULL,
    related   VARCHAR(255) NULL,
    shottype  TEXT NULL,
    descid    VARCHAR(255) NULL,
    notes     TEXT NULL,
    PRIMARY KEY (id),
    -- Not unique: the client copes with several shots of equal content.
    KEY shots_digests (MD5, SHA1),
    KEY shots_project (project),
    KEY shots_filename (filename)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Optional: the shared history of edits (tavelo-sync --setup-database
-- creates it). One row per changed field; the rows of one user action share
-- change_set, the id of its first row; undoes names the change set an undo
-- reverts. old_value and new_value hold the stored bytes (NULL for NULL).
CREATE TABLE IF NOT EXISTS shot_changes (
    id          BIGINT NOT NULL AUTO_INCREMENT,
    shot_id     INT NOT NULL,
    column_name VARCHAR(32) NOT NULL,
    old_value   MEDIUMTEXT NULL,
    new_value   MEDIUMTEXT NULL,
    change_set  BIGINT NULL,
    undoes      BIGINT NULL,
    changed_at  TIMESTAMP(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3),
    db_user     VARCHAR(128) NULL,
    os_user     VARCHAR(64) NULL,
    host        VARCHAR(255) NULL,
    PRIMARY KEY (id),
    KEY shot_changes_shot (shot_id),
    KEY shot_changes_set (change_set)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;

-- Optional: what the sync reads from each clip's media, keyed by content.
-- The client works without them; `tavelo-sync --setup-database` creates
-- them with exactly these statements (db/mediastatements.h).
CREATE TABLE IF NOT EXISTS shot_media (
    MD5                 CHAR(32) CHARACTER SET ascii NOT NULL,
    SHA1                CHAR(40) CHARACTER SET ascii NOT NULL,
    duration_ms         BIGINT NULL,
    width               INT NULL,
    height              INT NULL,
    frame_rate          VARCHAR(16) NULL,
    scan                VARCHAR(16) NULL,
    video_codec         VARCHAR(32) NULL,
    audio_codec         VARCHAR(32) NULL,
    audio_channels      INT NULL,
    audio_rate          INT NULL,
    recorded_at         DATETIME NULL,
    recorded_utc_offset SMALLINT NULL,
    start_timecode      CHAR(11) NULL,
    problem             TEXT NULL,
    read_at             TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP,
    PRIMARY KEY (MD5, SHA1)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS shot_posters (
    MD5    CHAR(32) CHARACTER SET ascii NOT NULL,
    SHA1   CHAR(40) CHARACTER SET ascii NOT NULL,
    image  MEDIUMBLOB NOT NULL,
    width  INT NULL,
    height INT NULL,
    PRIMARY KEY (MD5, SHA1)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Optional: quick tags ("Good", "NG", ...). shot_tags holds the tags each
-- shot carries; project_tags a project's list, in the order of their keys
-- (Alt+1 is position 1). A project without rows gets the default list.
CREATE TABLE IF NOT EXISTS shot_tags (
    shot_id INT NOT NULL,
    tag     VARCHAR(64) NOT NULL,
    PRIMARY KEY (shot_id, tag)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS project_tags (
    project_id INT NOT NULL,
    position   INT NOT NULL,
    tag        VARCHAR(64) NOT NULL,
    PRIMARY KEY (project_id, position)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;
