#pragma once

#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include "db/reconnect.h"

// Writes one field of many shots at once (a change made in the form while
// several rows are selected), with the same old-value check as a single
// save: a shot gets the new value only if it still holds the value this
// client read for it. The shots are locked first (SELECT ... FOR UPDATE in
// one transaction, at most chunkSize ids per statement), so nobody writes
// between the check and the write. A connection the server closed is
// reopened once and the chunk run again, which the lock and the old-value
// check make safe; a chunk that timed out or lost its connection while
// committing is never repeated (it may have committed). Widget-free, so
// tests and benchmarks drive it directly.
class BulkWriter
{
public:
    struct Target
    {
        QVariant id;
        QVariant before; // the value this client read for this shot
    };

    struct Result
    {
        bool ok = false;          // false: nothing of the failing chunk written
        QList<QVariant> written;  // ids that now hold the new value
        QList<QVariant> conflicting; // ids another client changed meanwhile (kept)
        QList<QVariant> gone;     // ids no longer in the table
        QHash<QString, QVariant> stored; // id (as text) -> value found on a conflicting shot
        QString error;
        bool reconnected = false; // results and queries read before are void
    };

    static constexpr int chunkSize = 10000;

    explicit BulkWriter(const QString &table = QStringLiteral("shots"),
                        const QString &connection = QString::fromLatin1(QSqlDatabase::defaultConnection));

    Result write(const QString &column, const QVariant &after, const QList<Target> &targets);

private:
    bool writeChunk(const QString &column, const QVariant &after, const QList<Target> &targets,
                    Result *result);
    // One try at a chunk; on failure says how it failed and whether the
    // commit itself was under way.
    bool tryChunk(const QString &column, const QVariant &after, const QList<Target> &targets,
                  Result *result, StatementFailure *failure, bool *committing);

    QString table;
    QString connection;
};
