#pragma once

#include "db/statementrunner.h"

#include "media/mediareader.h"
#include "projects/syncclipresult.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QVariantList>

#include <functional>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;

// The sync's database half: records hashed clips as shots of a project, a
// batch at a time. A batch's digest pairs are looked up with one statement,
// the new ones inserted with one statement and their ids read back by their
// digests (never by assuming the server gave consecutive ids), in one
// transaction. A clip's outcome is what it would be one after another:
// the first row of its digests is matched, equal clips of one batch share
// the shot the first of them inserted, and a row the server refuses skips
// only its clip. The trace lines of each clip are those of the one-by-one
// sync, written when its batch has run.
//
// A connection the server closed is reopened once per batch, with the same
// login, and the whole batch runs again: the rows of the lost transaction
// went with the connection, and content identity makes looking them up
// again safe. Used on the thread that opened the connection.
//
// With the media tables it also learns which contents have no facts yet,
// and writes the facts and posters read from the clips.
class ShotRecorder
{
public:
    // A clip of a committed batch, in the order it was added.
    struct Recorded
    {
        int index;
        SyncClipResult clip;
        // The first clip of a content without media facts in this run: its
        // media is to be read.
        bool needsMedia = false;
    };

    static constexpr int batchClips = 500;

    ShotRecorder(const QString &connectionName, int projectId);
    ~ShotRecorder();
    ShotRecorder(const ShotRecorder &) = delete;
    ShotRecorder &operator=(const ShotRecorder &) = delete;

    // Prepares the statements once, so a server that refuses them refuses
    // the sync before anything is written. False with error() on failure.
    bool prepare();
    // Whether to learn which contents lack media facts (only with the tables).
    void setMediaWanted(bool wanted) { mediaWanted = wanted; }
    bool isMediaWanted() const { return mediaWanted; }

    // Adds a clip to the open batch: hashed (md5 and sha1 set), or skipped
    // with its reason (passed through in order).
    void add(int index, const SyncClipResult &clip);
    int pendingCount() const { return int(pending.size()); }

    // Runs and commits the open batch. On success done holds its clips in
    // order with their outcomes. False when the connection is gone for good:
    // error() says why, and nothing of the batch was stored.
    bool commit(QList<Recorded> *done);

    // Facts and poster read from a content's media, written by commitMedia.
    void addMedia(const QByteArray &md5, const QByteArray &sha1, const MediaReading &reading);
    int pendingMediaCount() const { return int(mediaRows.size()); }
    // Writes the pending facts and posters. A write the server refuses
    // stops media reading for the run (mediaError() says why); false only
    // when the connection is gone for good.
    bool commitMedia();
    // Facts and posters stored so far.
    int mediaStored() const { return storedFacts; }
    int postersStored() const { return storedPosters; }

    QString error() const { return lastError; }
    QString mediaError() const { return mediaFailure; }
    int reconnects() const { return reconnectCount; }

private:
    using Pair = QPair<QByteArray, QByteArray>;
    struct Pending
    {
        int index;
        SyncClipResult clip;
    };
    struct MediaRow
    {
        QByteArray md5;
        QByteArray sha1;
        MediaReading reading;
    };
    enum class Step { Done, Retry, Stopped };

    QSqlDatabase database() const;
    // Runs run again after each reconnect; false when the connection is
    // gone for good.
    bool runUntilDone(const std::function<Step()> &run);
    Step runBatch(QList<Recorded> &done);
    Step runMedia();
    // After a failed statement: Retry once the connection was reopened,
    // Stopped when it is gone for good (error() then says why, naming
    // where: "at raw/2.MTS"), Done when only this statement was refused.
    Step handleFailure(const QString &where, const QSqlError &error);
    // Opens the batch's transaction unless one is open; Done when the
    // caller may go on.
    Step beginTransaction(const QString &where);
    bool execute(QSqlQuery &query, const QString &text, const QVariantList &values);
    // Runs a statement whose "%1" stands for digest pairs over pairs, a
    // chunk at a time, after the leading values, handing each row to take.
    // A refused chunk ends it with the error in refused (and Done).
    Step selectPairs(const char *statement, const QVariantList &leading, const QList<Pair> &pairs,
                     const QString &where, QSqlError *refused, const std::function<void(const QSqlQuery &)> &take);
    void rollback();

    QString connectionName;
    int projectId;
    bool mediaWanted = false;
    QList<Pending> pending;
    QList<MediaRow> mediaRows;
    QSet<Pair> mediaAsked;   // contents whose media this run reads already
    bool inTransaction = false;
    // The runner of the batch being stored: one reopen of a lost connection
    // per batch, as for every action of the client.
    StatementRunner *batchRunner = nullptr;
    int reconnectCount = 0;
    int storedFacts = 0;
    int storedPosters = 0;
    QString lastError;
    QString mediaFailure;
};
