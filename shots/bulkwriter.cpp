#include "shots/bulkwriter.h"

#include "shots/shotwriter.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

BulkWriter::BulkWriter(const QString &table, const QString &connection)
    : table(table)
    , connection(connection)
{
}

namespace {
QString placeholders(int count)
{
    QString list;
    list.reserve(count * 2);
    for (int i = 0; i < count; ++i)
        list += i == 0 ? QStringLiteral("?") : QStringLiteral(",?");
    return list;
}

QVariant bindable(const QVariant &value)
{
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return value.isNull() ? QVariant(QMetaType::fromType<int>()) : QVariant(value.toInt());
    if (!value.isValid())
        return QVariant(QMetaType::fromType<QString>());
    return value;
}
} // namespace

BulkWriter::Result BulkWriter::write(const QString &column, const QVariant &after,
                                     const QList<Target> &targets)
{
    Result result;
    result.ok = true;
    for (int start = 0; start < targets.size() && result.ok; start += chunkSize)
        result.ok = writeChunk(column, after, targets.mid(start, chunkSize), &result);
    return result;
}

bool BulkWriter::writeChunk(const QString &column, const QVariant &after,
                            const QList<Target> &targets, Result *result)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlDriver *driver = db.driver();
    if (!driver || !db.isOpen()) {
        result->error = QStringLiteral("no connection to the database");
        return false;
    }
    const QString quotedTable = driver->escapeIdentifier(table, QSqlDriver::TableName);
    const QString quotedColumn = driver->escapeIdentifier(column, QSqlDriver::FieldName);
    auto fail = [&](const QSqlQuery &query) {
        result->error = query.lastError().text();
        db.rollback();
        return false;
    };

    if (!db.transaction()) {
        result->error = db.lastError().text();
        return false;
    }
    QSqlQuery lock(db);
    lock.setForwardOnly(true);
    if (!lock.prepare(QStringLiteral("SELECT id, %1 FROM %2 WHERE id IN (%3) FOR UPDATE")
                          .arg(quotedColumn, quotedTable, placeholders(targets.size()))))
        return fail(lock);
    for (const Target &target : targets)
        lock.addBindValue(target.id);
    if (!lock.exec())
        return fail(lock);
    QHash<QString, QVariant> now;
    while (lock.next())
        now.insert(lock.value(0).toString(), lock.value(1));

    QList<QVariant> matching;
    QList<QVariant> conflicting;
    for (const Target &target : targets) {
        const QString key = target.id.toString();
        auto found = now.constFind(key);
        if (found == now.cend())
            result->gone << target.id;
        else if (ShotWriter::sameStored(found.value(), target.before))
            matching << target.id;
        else if (ShotWriter::sameStored(found.value(), after))
            matching << target.id; // already holds the value: nothing lost
        else {
            conflicting << target.id;
            result->stored.insert(key, found.value());
        }
    }
    if (!matching.isEmpty()) {
        QSqlQuery update(db);
        if (!update.prepare(QStringLiteral("UPDATE %1 SET %2 = ? WHERE id IN (%3)")
                                .arg(quotedTable, quotedColumn, placeholders(matching.size()))))
            return fail(update);
        update.addBindValue(bindable(after));
        for (const QVariant &id : std::as_const(matching))
            update.addBindValue(id);
        if (!update.exec())
            return fail(update);
    }
    if (!db.commit()) {
        result->error = db.lastError().text();
        db.rollback();
        return false;
    }
    result->written << matching;
    result->conflicting << conflicting;
    return true;
}
