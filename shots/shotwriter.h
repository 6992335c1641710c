#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>

#include <functional>

#include "db/statementrunner.h"

// Writes changed fields of shots so that no client overwrites another's
// edit unseen, and records each change in the shared history when the
// history table is there.
//
// Every change names the value this client read (before) and the value to
// write (after). The shots are locked first (SELECT ... FOR UPDATE), so
// nobody writes between the check and the write: a field is written only
// when it still holds before, compared byte for byte; a field that already
// holds after counts as saved; any other value is another client's, kept and
// reported as a conflict. Fields nobody else touched are written even when
// another field of the same shot conflicts. In the same transaction as each
// UPDATE, one history row per changed field (the bytes before and after);
// when that row cannot be written, neither is the change.
//
// Many shots are written in chunks, one transaction each; a chunk refused
// by the server because of one field's value is tried again field by field,
// so one value too long for its column does not hold back the others. A
// chunk that timed out is never repeated; its shots are read back. What
// follows a failure that ends the action (no answer, no connection) is left
// unwritten and reported as such. Widget-free; runs on the database thread.
class ShotWriter
{
public:
    struct Change
    {
        qlonglong shot = 0;
        QString column;
        QVariant before; // the value this client read
        QVariant after;  // the value to write
    };

    struct Conflict
    {
        Change change;
        QVariant stored; // another client's value, kept
    };

    struct Result
    {
        QList<Change> written;         // hold their new value now
        QList<Conflict> conflicting;   // kept another client's value
        QList<Change> gone;            // the shot is no longer in the table
        QList<Change> notSaved;        // not written; see failure
        StatementResult failure;       // why the first change not saved was not saved
        qint64 changeSet = 0;          // the history's number for this action; 0 without history
        bool reconnected = false;
        // Whole rows as read under the lock when a chunk held one shot: the
        // values other clients stored meanwhile in the fields not written.
        QHash<qlonglong, QHash<QString, QVariant>> rowsRead;

        void add(const Result &other);
    };

    // Who made a change, as the history records it besides the server's
    // own user name.
    struct Author
    {
        QString osUser;
        QString host;
        static Author current();
    };

    // Shots locked and written per transaction.
    static constexpr int chunkShots = 2000;

    ShotWriter(StatementRunner &runner, const QString &table = QStringLiteral("shots"));

    // Records each change in the history (table shot_changes); undoes names
    // the change set this action reverts.
    void setHistory(bool on, qint64 undoes = 0, const Author &author = Author::current());

    // Writes changes; onChunk gets the result of each chunk once it is
    // committed (or has failed), before the next chunk starts.
    Result write(const QList<Change> &changes, const std::function<void(const Result &)> &onChunk = {});

    // Stores a project's list of quick tags, in the order of their keys, in
    // place of the one it had.
    StatementResult writeProjectTags(int project, const QStringList &tags);
    // The stored bytes of a value as the history keeps them (NULL stays NULL).
    static QVariant storedText(const QVariant &value);
    // True when two column values hold the same bytes (NULL only equals NULL).
    static bool sameStored(const QVariant &a, const QVariant &b);

private:
    Result writeChunk(const QList<Change> &changes);
    StatementResult lockAndWrite(const QList<Change> &changes, Result *result);
    // Reads the shots' fields (locked for the transaction, when asked) and
    // sorts each change: saved already, gone, another client's value, or
    // untouched (still holding the value read, with it).
    StatementResult readShots(const QList<Change> &changes, bool lock, Result *result,
                              QList<QPair<Change, QVariant>> *untouched);
    // Replaces the tags of the changes' shots by their after values.
    StatementResult writeTags(const QList<Change> &changes);
    StatementResult insertHistory(const QList<QPair<Change, QVariant>> &rows);
    void readBack(const QList<Change> &changes, Result *result);
    QString quoted(const QString &name) const;

    StatementRunner &runner;
    QString table;
    bool history = false;
    qint64 undoes = 0;
    Author author;
    qint64 changeSet = 0;
};
