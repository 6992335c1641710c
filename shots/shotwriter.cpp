#include "shots/shotwriter.h"

#include "db/statements.h"
#include "shots/quicktags.h"
#include "shots/shotcolumns.h"

#include <QHash>
#include <QSet>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace {
QString placeholders(int count, const QString &one = QStringLiteral("?"), QLatin1Char separator = QLatin1Char(','))
{
    QStringList list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list << one;
    return list.join(separator);
}

QStringList columnsOf(const QList<ShotWriter::Change> &changes)
{
    QStringList columns;
    for (const ShotWriter::Change &change : changes) {
        if (!columns.contains(change.column))
            columns << change.column;
    }
    return columns;
}

QList<qlonglong> shotsOf(const QList<ShotWriter::Change> &changes)
{
    QList<qlonglong> shots;
    QSet<qlonglong> seen;
    for (const ShotWriter::Change &change : changes) {
        if (!seen.contains(change.shot)) {
            seen.insert(change.shot);
            shots << change.shot;
        }
    }
    return shots;
}

bool isTags(const QString &column)
{
    return ShotColumns::isTags(column);
}

// Whether a field holds a value: a shot's tags are the same in any order.
bool holds(const QString &column, const QVariant &stored, const QVariant &value)
{
    return isTags(column) ? QuickTags::sameTags(stored, value) : ShotWriter::sameStored(stored, value);
}

// History rows go in batches, so one statement never carries more values
// than the server takes.
constexpr int historyRowsPerStatement = 1000;

// The first count characters of text, never half of one: a column's length
// counts characters, and text holds some as two UTF-16 units.
QString firstCharacters(const QString &text, int count)
{
    qsizetype end = 0;
    for (int taken = 0; taken < count && end < text.size(); ++taken)
        end += text.at(end).isHighSurrogate() && end + 1 < text.size() ? 2 : 1;
    return text.left(end);
}

} // namespace

void ShotWriter::Result::add(const Result &other)
{
    written += other.written;
    conflicting += other.conflicting;
    gone += other.gone;
    notSaved += other.notSaved;
    if (failure.ok() && !other.failure.ok())
        failure = other.failure;
    reconnected = reconnected || other.reconnected;
    for (auto it = other.rowsRead.cbegin(); it != other.rowsRead.cend(); ++it)
        rowsRead.insert(it.key(), it.value());
    if (!changeSet)
        changeSet = other.changeSet;
}

ShotWriter::Author ShotWriter::Author::current()
{
    Author author;
#ifdef Q_OS_WIN
    author.osUser = qEnvironmentVariable("USERNAME");
#else
    author.osUser = qEnvironmentVariable("USER");
    if (author.osUser.isEmpty())
        author.osUser = qEnvironmentVariable("LOGNAME");
    if (author.osUser.isEmpty()) {
        // Started without a login shell (a service, a test runner).
        if (const passwd *entry = getpwuid(geteuid()))
            author.osUser = QString::fromLocal8Bit(entry->pw_name);
    }
#endif
    author.host = QSysInfo::machineHostName();
    return author;
}

ShotWriter::ShotWriter(StatementRunner &runner, const QString &table)
    : runner(runner)
    , table(table)
{
}

void ShotWriter::setHistory(bool on, qint64 undoes, const Author &author)
{
    history = on;
    this->undoes = undoes;
    this->author = author;
}

QString ShotWriter::quoted(const QString &name) const
{
    QSqlDriver *driver = runner.database().driver();
    return driver ? driver->escapeIdentifier(name, QSqlDriver::FieldName) : name;
}

QVariant ShotWriter::storedText(const QVariant &value)
{
    if (value.isNull() || !value.isValid())
        return QVariant(QMetaType::fromType<QString>());
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return QString::number(value.toInt());
    if (type == QMetaType::Bool)
        return QString::number(value.toBool() ? 1 : 0);
    return value.toString();
}

bool ShotWriter::sameStored(const QVariant &a, const QVariant &b)
{
    const QVariant left = storedText(a);
    const QVariant right = storedText(b);
    if (left.isNull() || right.isNull())
        return left.isNull() && right.isNull();
    return left.toString() == right.toString();
}

ShotWriter::Result ShotWriter::write(const QList<Change> &changes, const std::function<void(const Result &)> &onChunk)
{
    Result total;
    QList<qlonglong> order = shotsOf(changes);
    QHash<qlonglong, QList<Change>> byShot;
    for (const Change &change : changes)
        byShot[change.shot] << change;
    for (int start = 0; start < order.size(); start += chunkShots) {
        QList<Change> chunk;
        for (int i = start; i < qMin<int>(order.size(), start + chunkShots); ++i)
            chunk += byShot.value(order.at(i));
        Result result;
        const StatementResult stop = runner.stopReason();
        if (!stop.ok()) {
            // Not even tried: the action already met a failure that ends it.
            result.notSaved = chunk;
            result.failure = stop;
        } else {
            result = writeChunk(chunk);
        }
        result.reconnected = result.reconnected || runner.reconnected();
        total.add(result);
        if (onChunk)
            onChunk(result);
    }
    total.changeSet = changeSet;
    total.reconnected = runner.reconnected();
    return total;
}

ShotWriter::Result ShotWriter::writeChunk(const QList<Change> &changes)
{
    Result result;
    qint64 setBefore = changeSet;
    bool committing = false;
    const StatementResult outcome = runner.transaction(
        [&]() {
            result = Result();
            changeSet = setBefore; // a rerun starts from the same point
            return lockAndWrite(changes, &result);
        },
        &committing);
    if (outcome.ok())
        return result;
    changeSet = setBefore; // rolled back with the rest
    const QStringList columns = columnsOf(changes);
    if (outcome.failure == StatementFailure::Refused && columns.size() > 1) {
        // One refused value must not hold back the others: each column on its own.
        Result all;
        for (const QString &column : columns) {
            QList<Change> only;
            for (const Change &change : changes) {
                if (change.column == column)
                    only << change;
            }
            all.add(writeChunk(only));
        }
        return all;
    }
    result = Result();
    result.failure = outcome;
    if (outcome.failure == StatementFailure::TimedOut || committing) {
        // Never repeated: the server may have taken it. What it holds now
        // decides, read on a new connection.
        readBack(changes, &result);
        return result;
    }
    result.notSaved = changes;
    return result;
}

StatementResult ShotWriter::readShots(const QList<Change> &changes, bool lock, Result *result,
                                      QList<QPair<Change, QVariant>> *untouched)
{
    const QList<qlonglong> shots = shotsOf(changes);
    const QStringList columns = columnsOf(changes);
    // The tags are rows of their own table, read after the shots are locked
    // (whoever writes them locks the shot first).
    QStringList ownColumns;
    QStringList quotedColumns;
    for (const QString &column : columns) {
        if (!isTags(column)) {
            ownColumns << column;
            quotedColumns << quoted(column);
        }
    }
    const bool tags = ownColumns.size() < columns.size();
    QVariantList ids;
    for (qlonglong shot : shots)
        ids << shot;

    // One shot: its whole row, so the form also shows what others stored
    // meanwhile in the fields not written.
    const bool wholeRow = shots.size() == 1;
    const QString what = wholeRow ? QStringLiteral("*")
                                  : QStringList(QStringList{quoted(QStringLiteral("id"))} + quotedColumns)
                                        .join(QStringLiteral(", "));
    QSqlQuery query(runner.database());
    const StatementResult step =
        runner.run(query,
                   QStringLiteral("SELECT %1 FROM %2 WHERE %3 IN (%4)%5")
                       .arg(what, quoted(table), quoted(QStringLiteral("id")), placeholders(int(ids.size())),
                            lock ? QStringLiteral(" FOR UPDATE") : QString()),
                   ids, lock ? StatementRunner::Write : StatementRunner::Read);
    if (!step.ok())
        return step;
    QHash<qlonglong, QHash<QString, QVariant>> now;
    const int idColumn = wholeRow ? query.record().indexOf(QStringLiteral("id")) : 0;
    while (query.next()) {
        const qlonglong shot = query.value(idColumn).toLongLong();
        QHash<QString, QVariant> row;
        if (wholeRow) {
            const QSqlRecord record = query.record();
            for (int i = 0; i < record.count(); ++i)
                row.insert(record.fieldName(i), query.value(i));
        } else {
            for (int i = 0; i < ownColumns.size(); ++i)
                row.insert(ownColumns.at(i), query.value(i + 1));
        }
        now.insert(shot, row);
    }
    if (tags && !now.isEmpty()) {
        QVariantList present;
        for (auto it = now.begin(); it != now.end(); ++it) {
            present << it.key();
            it.value().insert(QLatin1String(ShotColumns::tagsColumn), QVariant(QMetaType::fromType<QString>()));
        }
        const StatementResult tagsRead =
            runner.run(query, QString::fromLatin1(Sql::tagsOfShots).arg(placeholders(int(present.size()))), present,
                       lock ? StatementRunner::Write : StatementRunner::Read);
        if (!tagsRead.ok())
            return tagsRead;
        while (query.next())
            now[query.value(0).toLongLong()].insert(QLatin1String(ShotColumns::tagsColumn), query.value(1));
    }
    if (wholeRow) {
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            result->rowsRead.insert(it.key(), it.value());
    }

    // Each field holds the new value (saved, by us or by someone), the value
    // read (still to be written), or another client's (kept).
    for (const Change &change : changes) {
        auto found = now.constFind(change.shot);
        if (found == now.cend()) {
            result->gone << change;
            continue;
        }
        const QVariant stored = found.value().value(change.column);
        if (holds(change.column, stored, change.after))
            result->written << change;
        else if (holds(change.column, stored, change.before))
            *untouched << qMakePair(change, stored);
        else
            result->conflicting << Conflict{change, stored};
    }
    return step;
}

StatementResult ShotWriter::lockAndWrite(const QList<Change> &changes, Result *result)
{
    QList<QPair<Change, QVariant>> toWrite; // the change and the value it replaces
    StatementResult step = readShots(changes, true, result, &toWrite);
    if (!step.ok())
        return step;
    const QList<qlonglong> shots = shotsOf(changes);
    const QStringList columns = columnsOf(changes);
    QSqlQuery query(runner.database());
    if (toWrite.isEmpty())
        return step;
    QList<QPair<Change, QVariant>> ownFields;
    QList<Change> tagChanges;
    for (const auto &item : std::as_const(toWrite)) {
        if (isTags(item.first.column))
            tagChanges << item.first;
        else
            ownFields << item;
    }

    if (ownFields.isEmpty()) {
        // Only tags: nothing to update in the shots themselves.
    } else if (shots.size() == 1) {
        // One shot: one UPDATE of its fields, each over the value it holds.
        QStringList sets;
        QStringList checks;
        QVariantList values;
        for (const auto &item : std::as_const(ownFields)) {
            sets << quoted(item.first.column) + QStringLiteral(" = ?");
            checks << QStringLiteral("BINARY %1 <=> BINARY ?").arg(quoted(item.first.column));
            values << item.first.after;
        }
        values << shots.first();
        for (const auto &item : std::as_const(ownFields))
            values << item.second;
        step = runner.run(query,
                          QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ? AND %4")
                              .arg(quoted(table), sets.join(QStringLiteral(", ")), quoted(QStringLiteral("id")),
                                   checks.join(QStringLiteral(" AND "))),
                          values, StatementRunner::Write);
        if (!step.ok())
            return step;
    } else {
        for (const QString &column : columns) {
            if (isTags(column))
                continue;
            QVariantList targets;
            QList<QVariant> afters;
            bool uniform = true;
            for (const auto &item : std::as_const(toWrite)) {
                if (item.first.column != column)
                    continue;
                if (!afters.isEmpty() && !sameStored(afters.first(), item.first.after))
                    uniform = false;
                targets << item.first.shot;
                afters << item.first.after;
            }
            if (targets.isEmpty())
                continue;
            QVariantList values;
            QString setClause;
            if (uniform) {
                setClause = QStringLiteral("%1 = ?").arg(quoted(column));
                values << afters.first();
            } else {
                // Values that differ per shot (an undo): one statement still.
                setClause = QStringLiteral("%1 = CASE %2 %3 END")
                                .arg(quoted(column), quoted(QStringLiteral("id")),
                                     placeholders(int(targets.size()), QStringLiteral("WHEN ? THEN ?"),
                                                  QLatin1Char(' ')));
                for (int i = 0; i < targets.size(); ++i)
                    values << targets.at(i) << afters.at(i);
            }
            values += targets;
            step = runner.run(query,
                              QStringLiteral("UPDATE %1 SET %2 WHERE %3 IN (%4)")
                                  .arg(quoted(table), setClause, quoted(QStringLiteral("id")),
                                       placeholders(int(targets.size()))),
                              values, StatementRunner::Write);
            if (!step.ok())
                return step;
        }
    }
    if (!tagChanges.isEmpty()) {
        step = writeTags(tagChanges);
        if (!step.ok())
            return step;
    }
    if (history) {
        step = insertHistory(toWrite);
        if (!step.ok())
            return step;
    }
    for (const auto &item : std::as_const(toWrite))
        result->written << item.first;
    result->changeSet = changeSet;
    return step;
}

StatementResult ShotWriter::writeTags(const QList<Change> &changes)
{
    // The shots' tags are replaced as a whole: what they held was checked
    // under the lock, so nothing else is lost.
    QSqlQuery query(runner.database());
    QVariantList ids;
    QVariantList rows;
    for (const Change &change : changes) {
        ids << change.shot;
        for (const QString &tag : QuickTags::split(change.after))
            rows << change.shot << tag;
    }
    StatementResult step = runner.run(
        query, QString::fromLatin1(Sql::deleteTagsOfShots).arg(placeholders(int(ids.size()))), ids,
        StatementRunner::Write);
    const int perStatement = historyRowsPerStatement * 2;
    for (int next = 0; step.ok() && next < rows.size(); next += perStatement) {
        const QVariantList some = rows.mid(next, perStatement);
        step = runner.run(query,
                          QString::fromLatin1(Sql::insertShotTags) + placeholders(int(some.size() / 2),
                                                                                  QStringLiteral("(?, ?)")),
                          some, StatementRunner::Write);
    }
    return step;
}

StatementResult ShotWriter::writeProjectTags(int project, const QStringList &tags)
{
    return runner.transaction([&]() {
        QSqlQuery query(runner.database());
        StatementResult step =
            runner.run(query, QString::fromLatin1(Sql::deleteProjectTags), {project}, StatementRunner::Write);
        if (!step.ok() || tags.isEmpty())
            return step;
        QVariantList values;
        for (int i = 0; i < tags.size(); ++i)
            values << project << i + 1 << tags.at(i).trimmed();
        return runner.run(query,
                          QString::fromLatin1(Sql::insertProjectTags)
                              + placeholders(int(tags.size()), QStringLiteral("(?, ?, ?)")),
                          values, StatementRunner::Write);
    });
}

StatementResult ShotWriter::insertHistory(const QList<QPair<Change, QVariant>> &rows)
{
    const QString into = QString::fromLatin1(Sql::insertShotChanges);
    const QString row = QString::fromLatin1(Sql::shotChangeRow);
    QSqlQuery query(runner.database());
    StatementResult step;
    auto rowValues = [this](const QPair<Change, QVariant> &item, const QVariant &set) {
        return QVariantList{item.first.shot,
                            item.first.column,
                            storedText(item.second),
                            storedText(item.first.after),
                            set,
                            undoes ? QVariant(undoes) : QVariant(QMetaType::fromType<qlonglong>()),
                            firstCharacters(author.osUser, Sql::historyOsUserChars),
                            firstCharacters(author.host, Sql::historyHostChars)};
    };
    int next = 0;
    if (!changeSet) {
        // The action's number is its first history row's own id.
        step = runner.run(query, into + row, rowValues(rows.first(), QVariant(QMetaType::fromType<qlonglong>())),
                          StatementRunner::Write);
        if (!step.ok())
            return step;
        const qint64 first = query.lastInsertId().toLongLong();
        step = runner.run(query, QString::fromLatin1(Sql::setChangeSet), {first, first}, StatementRunner::Write);
        if (!step.ok())
            return step;
        changeSet = first;
        next = 1;
    }
    while (next < rows.size()) {
        const int count = qMin<int>(historyRowsPerStatement, int(rows.size()) - next);
        QVariantList values;
        for (int i = next; i < next + count; ++i)
            values += rowValues(rows.at(i), changeSet);
        step = runner.run(query, into + placeholders(count, row), values, StatementRunner::Write);
        if (!step.ok())
            return step;
        next += count;
    }
    return step;
}

void ShotWriter::readBack(const QList<Change> &changes, Result *result)
{
    QString reason;
    if (!runner.reopen(&reason)) {
        result->failure.error += QStringLiteral("; reconnecting failed: ") + reason;
        result->notSaved = changes;
        return;
    }
    result->reconnected = true;
    QList<QPair<Change, QVariant>> untouched;
    if (!readShots(changes, false, result, &untouched).ok()) {
        Result unread;
        unread.notSaved = changes;
        unread.failure = result->failure;
        unread.reconnected = true;
        *result = unread;
        return;
    }
    for (const auto &item : std::as_const(untouched))
        result->notSaved << item.first;
    if (result->notSaved.isEmpty() && result->gone.isEmpty())
        result->failure = StatementResult();
}
