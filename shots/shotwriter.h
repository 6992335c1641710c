#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <QVariant>

#include "db/reconnect.h"

// Writes changed fields of one shot so that no client overwrites another's
// edit unseen: each field is written only if it still holds the value this
// client last read (compared byte for byte and NULL-safe in the UPDATE's own
// condition). Fields nobody else touched are written even when another
// field of the same row conflicts; edits of different fields never conflict.
//
// It reconnects once when the connection was lost and then repeats the
// write, which the old-value check makes safe. A write that timed out is
// never repeated: it may have committed. Widget-free, so tests and
// benchmarks drive it directly.
class ShotWriter
{
public:
    struct Field
    {
        QString column;
        QVariant before; // the value this client last read
        QVariant after;  // the value to write
    };

    enum Status {
        Written,   // every field holds its new value
        Conflict,  // some fields hold another client's value and were kept
        Gone,      // no shot with this id any more
        Failed,    // not written: refused, connection lost or no answer
    };

    struct Result
    {
        Status status = Failed;
        StatementFailure failure = StatementFailure::None;
        bool reconnected = false;  // results and queries read before are void
        QString error;             // the server's reason when status is Failed
        QStringList written;       // columns that now hold their new value
        QStringList conflicting;   // columns another client changed meanwhile
        QSqlRecord stored;         // the row as read back (empty when unread)
    };

    explicit ShotWriter(const QString &table = QStringLiteral("shots"),
                        const QString &connection = QString::fromLatin1(QSqlDatabase::defaultConnection));

    Result write(const QVariant &id, const QList<Field> &fields);

    // Reads one row by id; empty record with found false when it is gone.
    // Reconnects once when the connection was lost.
    QSqlRecord readRow(const QVariant &id, bool *found, StatementFailure *failure = nullptr,
                       QString *error = nullptr, bool *reconnected = nullptr);

    // True when two column values hold the same bytes (NULL only equals NULL).
    static bool sameStored(const QVariant &a, const QVariant &b);
    // A value as it must be bound to reach its column unchanged: the driver
    // reports a TINYINT as a char, which bound as such is sent as a
    // one-character string; an invalid value is bound as NULL.
    static QVariant bindable(const QVariant &value);

private:
    bool runUpdate(const QVariant &id, const QList<Field> &fields, int *matched,
                   StatementFailure *failure, QString *error);
    QSqlDatabase database() const;

    QString table;
    QString connection;
};
