#pragma once

#include "db/statementrunner.h"

#include "media/mediareader.h"
#include "projects/syncclipresult.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

// The sync's database half: records hashed clips as shots of a project, a
// batch at a time. A batch's digest pairs are looked up with one statement,
// the new ones inserted with one statement and their ids read back by their
// digests (never by assuming the server gave consecutive ids), in one
// transaction. A clip's outcome is what it would be one after another:
// the first row of its digests is matched, equal clips of one batch share
// the shot the first of them inserted, and a row the server refuses skips
// only its clip. The trace lines of each clip are those of the one-by-one
// sync, handed back with the batch's outcome for the caller to write.
//
// Each batch is the body of one StatementRunner::transaction, so the runner
// decides what a failure means: a statement refused on a healthy connection
// skips its clip, while after a connection the server closed the runner
// reopens it once (with the same login) and runs the whole batch again; the
// rows of the lost transaction went with the connection, and content
// identity makes looking them up again safe.
//
// With the media tables it also learns which contents have no facts yet,
// and writes the facts and posters read from the clips.
//
// It lives on the sync's database thread: every call gets the runner of the
// job that makes it, and the jobs run one after the other.
class ShotRecorder
{
public:
    // A clip handed to a batch: hashed (md5 and sha1 set), or skipped with
    // its reason (passed through in order).
    struct Clip
    {
        int index;
        SyncClipResult clip;
    };
    // A clip of a committed batch, in the order it was added.
    struct Recorded
    {
        int index;
        SyncClipResult clip;
        // The first clip of a content without media facts in this run: its
        // media is to be read.
        bool needsMedia = false;
    };
    struct MediaRow
    {
        QByteArray md5;
        QByteArray sha1;
        MediaReading reading;
    };
    // One trace line: its items, written separated by a space.
    using Trace = QStringList;

    // What became of a batch.
    struct Outcome
    {
        // The batch ran to its end: done holds every clip with its outcome.
        // False when the sync cannot go on (failure and error say why) and
        // nothing of the batch is known to be stored.
        bool stored = false;
        QList<Recorded> done;
        QList<Trace> traces;
        StatementFailure failure = StatementFailure::None;
        QString error;
        int reconnects = 0;
        // The media facts could not be looked up: media is off for the run.
        QString mediaError;
    };

    // What became of a store of media facts.
    struct MediaOutcome
    {
        // False only when the sync cannot go on (failure and error say why).
        bool stored = false;
        StatementFailure failure = StatementFailure::None;
        QString error;
        int facts = 0;      // facts (or problems) stored
        int posters = 0;    // posters stored
        int reconnects = 0;
        QList<Trace> traces;
        // A write the server refused: media is off for the run.
        QString mediaError;
    };

    static constexpr int batchClips = 500;

    explicit ShotRecorder(int projectId);

    // Prepares the statements once, so a server that refuses them refuses
    // the sync before anything is written. False with error on failure.
    bool prepare(StatementRunner &runner, QString *error);
    // Whether to learn which contents lack media facts (only with the tables).
    void setMediaWanted(bool wanted) { mediaWanted = wanted; }
    bool isMediaWanted() const { return mediaWanted; }

    // Runs and commits one batch.
    Outcome record(StatementRunner &runner, const QList<Clip> &batch);
    // Writes facts and posters read from contents' media. A write the
    // server refuses stops media reading for the run (mediaError).
    MediaOutcome storeMedia(StatementRunner &runner, const QList<MediaRow> &rows);

private:
    using Pair = QPair<QByteArray, QByteArray>;
    // What one run of a batch's body learned; started afresh when the
    // runner runs the body again on a reopened connection.
    struct Attempt;

    StatementResult runBatch(StatementRunner &runner, const QList<Clip> &batch, const QList<Pair> &pairs,
                             Attempt &attempt);
    StatementResult runMedia(StatementRunner &runner, const QList<MediaRow> &rows, int *posters);
    // Why the sync stops after a failure of the connection where ("at
    // raw/2.MTS"), as the summary says it.
    static QString stopText(const StatementRunner &runner, const StatementResult &failure, const QString &where);
    static Trace reopenedTrace(const StatementRunner &runner);

    int projectId;
    bool mediaWanted = false;
    QSet<Pair> mediaAsked;   // contents whose media this run reads already
    QString mediaFailure;
};
