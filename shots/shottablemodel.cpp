#include "shots/shottablemodel.h"

#include "db/statements.h"
#include "shots/bulkwriter.h"
#include "shots/plaintext.h"

#include <QElapsedTimer>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>

ShotTableModel::ShotTableModel(QObject *parent, const QSqlDatabase &db)
    : QSqlTableModel(parent, db)
{
}

void ShotTableModel::setTable(const QString &tableName)
{
    QSqlTableModel::setTable(tableName);
    // Looked up once here: flags() asks for every cell painted.
    readOnlyColumns.clear();
    for (const char *name : {"id", "project", "filename", "MD5", "SHA1"}) {
        const int column = fieldIndex(QLatin1String(name));
        if (column >= 0)
            readOnlyColumns << column;
    }
    prodColumn = fieldIndex(QStringLiteral("prod"));
    plainTextColumns.clear();
    for (const char *name : {"location", "shottype", "notes"}) {
        const int column = fieldIndex(QLatin1String(name));
        if (column >= 0)
            plainTextColumns << column;
    }
}

bool ShotTableModel::isReadOnlyColumn(int column) const
{
    return readOnlyColumns.contains(column);
}

Qt::ItemFlags ShotTableModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags result = QSqlTableModel::flags(index);
    if (index.isValid() && isReadOnlyColumn(index.column()))
        result &= ~Qt::ItemIsEditable;
    if (index.isValid() && isFlagColumn(index.column()))
        result = (result & ~Qt::ItemIsEditable) | Qt::ItemIsUserCheckable;
    return result;
}

QVariant ShotTableModel::data(const QModelIndex &index, int role) const
{
    if (index.isValid() && isFlagColumn(index.column())) {
        if (role == Qt::CheckStateRole) {
            const QVariant flag = storedValue(index.row(), index.column());
            if (flag.isNull())
                return Qt::PartiallyChecked;
            return flag.toInt() != 0 ? Qt::Checked : Qt::Unchecked;
        }
        // The box says it all; a number beside it would invite typing one.
        if (role == Qt::DisplayRole)
            return QVariant();
    }
    QVariant value = QSqlTableModel::data(index, role);
    // The driver reports a NULL in a TINYINT column (the production flag) as
    // a char, which has no editor and prints as a control character.
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar) {
        if (value.isNull())
            return QVariant(QMetaType::fromType<int>());
        return value.toInt();
    }
    // Values an earlier client stored as a rich-text document show as the
    // text they hold, in the grid, its editors and the form.
    if ((role == Qt::DisplayRole || role == Qt::EditRole) && isPlainTextColumn(index.column()))
        return PlainText::fromStored(value);
    return value;
}

QVariant ShotTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::ToolTipRole || orientation != Qt::Horizontal)
        return QSqlTableModel::headerData(section, orientation, role);
    static const QHash<QString, QString> tips = {
        {QStringLiteral("id"), tr("The shot's number in the database")},
        {QStringLiteral("project"), tr("The project the shot belongs to")},
        {QStringLiteral("filename"), tr("The clip's path below the local root")},
        {QStringLiteral("MD5"), tr("MD5 digest of the clip's content")},
        {QStringLiteral("SHA1"), tr("SHA-1 digest of the clip's content")},
        {QStringLiteral("location"), tr("Where the shot was taken")},
        {QStringLiteral("scene"), tr("Scene")},
        {QStringLiteral("shot"), tr("Shot within the scene")},
        {QStringLiteral("prod"), tr("Production flag: checked yes, cleared no, partly checked not set")},
        {QStringLiteral("duration"), tr("Duration in seconds")},
        {QStringLiteral("quality"), tr("Quality, 0 to 99")},
        {QStringLiteral("takes"), tr("Takes")},
        {QStringLiteral("related"), tr("Ids of related objects")},
        {QStringLiteral("shottype"), tr("Kind of shot (wide, close-up, ...)")},
        {QStringLiteral("descid"), tr("Description id")},
        {QStringLiteral("notes"), tr("Notes")},
    };
    return tips.value(record().fieldName(section));
}

bool sameColumnValue(const QVariant &stored, const QVariant &value)
{
    if (stored.isNull() || !stored.isValid()) {
        if (value.isNull() || !value.isValid())
            return true;
        // An editor opened on a NULL cell and left alone hands back its empty
        // value; that must not turn NULL into '' or 0.
        if (value.metaType().id() == QMetaType::QString)
            return value.toString().isEmpty();
        return value == QVariant(value.metaType());
    }
    if (value.isNull() || !value.isValid())
        return false;
    if (stored.metaType() == value.metaType())
        return stored == value;
    return stored.toString() == value.toString();
}

bool ShotTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role == Qt::CheckStateRole && index.isValid() && isFlagColumn(index.column())) {
        saveError.clear();
        const int flag = value.toInt() == Qt::Checked ? 1 : 0;
        if (sameColumnValue(storedValue(index.row(), index.column()), flag)
            && !storedValue(index.row(), index.column()).isNull())
            return true;
        return saveRow(index.row(), {{index.column(), flag}});
    }
    if (role != Qt::EditRole || !index.isValid())
        return QSqlTableModel::setData(index, value, role);
    saveError.clear();
    if (!(flags(index) & Qt::ItemIsEditable))
        return false;
    if (sameColumnValue(data(index, Qt::EditRole), value))
        return true;
    return saveRow(index.row(), {{index.column(), value}});
}

bool ShotTableModel::saveRow(int row, const QHash<int, QVariant> &changes,
                            const QHash<int, QVariant> &olds)
{
    saveError.clear();
    outcome = Outcome();
    failureKind = StatementFailure::None;
    if (row < 0 || row >= rowCount())
        return false;
    QList<ShotWriter::Field> fields;
    QList<int> columns;
    const QSqlRecord layout = record();
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.key() < 0 || it.key() >= layout.count() || isReadOnlyColumn(it.key()))
            continue;
        columns << it.key();
        fields << ShotWriter::Field{layout.fieldName(it.key()),
                                    olds.contains(it.key()) ? olds.value(it.key())
                                                            : storedValue(row, it.key()),
                                    it.value()};
    }
    if (fields.isEmpty())
        return true;

    const QVariant id = idOfRow(row);
    auto notSaved = [&](const QList<int> &which) {
        QHash<int, QVariant> values;
        for (int column : which)
            values.insert(column, changes.value(column));
        outcome.unsaved = which;
        emit saveFailed(saveError);
        if (row >= 0)
            emit valuesNotSaved(row, values);
        return false;
    };
    if (isGone(row)) {
        saveError = tr("The shot was not saved: it is no longer in the database (another "
                       "client deleted it).");
        return notSaved(columns);
    }

    ++busy;
    ShotWriter writer(tableName(), database().connectionName());
    const ShotWriter::Result result = writer.write(id, fields);
    if (result.reconnected) {
        // Every result read on the old connection is void: read all rows
        // again; the views keep the user's place.
        select();
        row = rowOfId(id);
        emit reconnected();
    } else {
        // Show what the database holds now, whether or not the write went
        // through; the views are told in any case, since an editor may still
        // show what was refused. Without a connection the row keeps what
        // was last read.
        if (database().isOpen())
            selectRow(row);
        emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    }
    --busy;

    for (int i = 0; i < fields.size(); ++i) {
        if (result.written.contains(fields[i].column))
            outcome.saved << columns[i];
        else if (result.conflicting.contains(fields[i].column))
            outcome.conflicted << columns[i];
    }
    QList<int> rest;
    for (int column : columns) {
        if (!outcome.saved.contains(column) && !outcome.conflicted.contains(column))
            rest << column;
    }
    if (!outcome.saved.isEmpty() && row >= 0)
        emit valuesSaved(row, outcome.saved);

    if (!outcome.conflicted.isEmpty()) {
        QStringList labels;
        for (int column : outcome.conflicted) {
            for (int i = conflictList.size() - 1; i >= 0; --i) {
                if (conflictList[i].id == id && conflictList[i].column == column)
                    conflictList.removeAt(i);
            }
            conflictList << Conflict{id, column, result.stored.value(layout.fieldName(column)),
                                     changes.value(column)};
            labels << layout.fieldName(column);
        }
        saveError = tr("Shot %1: another client changed %2 after you read it. Nothing was "
                       "overwritten; choose which value to keep.")
                        .arg(id.toString(), labels.join(QStringLiteral(", ")));
        emit conflictsChanged();
    }

    if (result.status == ShotWriter::Gone) {
        saveError = tr("Shot %1 was not saved: it is no longer in the database (another client "
                       "deleted it).")
                        .arg(id.toString());
        return notSaved(columns);
    }
    if (result.status == ShotWriter::Failed && !rest.isEmpty()) {
        failureKind = result.failure;
        QStringList restNames;
        for (int column : rest)
            restNames << layout.fieldName(column);
        const QString what = QStringLiteral("Shot %1 was not saved (%2): ")
                                 .arg(id.toString(), restNames.join(QStringLiteral(", ")));
        switch (result.failure) {
        case StatementFailure::TimedOut:
            saveError = what
                + tr("%1. It may or may not have reached the database; the row shows what the "
                     "database holds. Your value is kept in the form, not saved.")
                      .arg(result.error);
            break;
        case StatementFailure::ConnectionLost:
            saveError = what
                + tr("the connection to the server is lost (%1). Your value is kept in the "
                     "form, not saved; the next try reconnects.")
                      .arg(result.error);
            break;
        default:
            saveError = what
                + tr("%1 The database keeps its previous value; yours is kept in the form, "
                     "not saved.")
                      .arg(result.error);
            break;
        }
        return notSaved(rest);
    }
    if (!outcome.conflicted.isEmpty()) {
        emit saveFailed(saveError);
        return false;
    }
    if (row >= 0)
        emit rowSaved(row);
    return true;
}

bool ShotTableModel::saveColumns(const QList<int> &rows, const QHash<int, QVariant> &changes)
{
    saveError.clear();
    failureKind = StatementFailure::None;
    QList<int> columns;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.key() >= 0 && it.key() < columnCount() && !isReadOnlyColumn(it.key()))
            columns << it.key();
    }
    std::sort(columns.begin(), columns.end());
    // Every shot's values as read, before anything is written: the rows are
    // read again after each column, and a later column must still be
    // checked against what the user saw.
    QHash<int, QList<BulkWriter::Target>> targets;
    QHash<QString, int> rowOf;
    for (int row : rows) {
        if (row < 0 || row >= rowCount() || isGone(row))
            continue;
        const QVariant id = idOfRow(row);
        rowOf.insert(id.toString(), row);
        for (int column : std::as_const(columns))
            targets[column] << BulkWriter::Target{id, storedValue(row, column)};
    }
    if (rowOf.isEmpty() || columns.isEmpty())
        return true;

    auto idList = [](const QList<QVariant> &ids) {
        QStringList list;
        for (const QVariant &id : ids)
            list << id.toString();
        return list.join(QStringLiteral(", "));
    };
    QStringList problems;
    QSet<QString> touched;
    bool reopened = false;
    ++busy;
    BulkWriter writer(tableName(), database().connectionName());
    for (int column : std::as_const(columns)) {
        const QString name = record().fieldName(column);
        const QVariant value = changes.value(column);
        const BulkWriter::Result result = writer.write(name, value, targets.value(column));
        reopened = reopened || result.reconnected;
        for (const QList<QVariant> *ids : {&result.written, &result.conflicting, &result.gone}) {
            for (const QVariant &id : *ids)
                touched.insert(id.toString());
        }
        QStringList columnProblems;
        if (!result.conflicting.isEmpty()) {
            for (const QVariant &id : result.conflicting)
                conflictList << Conflict{id, column, result.stored.value(id.toString()), value};
            columnProblems << tr("another client changed shots %1 after you read them; nothing of "
                                 "theirs was overwritten, choose which value to keep")
                                  .arg(idList(result.conflicting));
        }
        if (!result.gone.isEmpty())
            columnProblems << tr("shots %1 are no longer in the database").arg(idList(result.gone));
        if (!result.ok)
            columnProblems << tr("not saved: %1").arg(result.error);
        if (!columnProblems.isEmpty())
            problems << tr("%1 saved on %2 of %3 shots: %4")
                            .arg(name)
                            .arg(result.written.size())
                            .arg(rowOf.size())
                            .arg(columnProblems.join(QStringLiteral("; ")));
    }
    if (reopened) {
        // Every result read on the old connection is void: read all rows
        // again; the views keep the user's place.
        select();
        emit reconnected();
    } else if (database().isOpen()) {
        // Only the rows touched are read again (one statement each); the
        // others show what they showed.
        for (const QString &id : std::as_const(touched))
            selectRow(rowOf.value(id));
    }
    --busy;
    if (!conflictList.isEmpty())
        emit conflictsChanged();
    if (!problems.isEmpty()) {
        saveError = problems.join(QStringLiteral(". ")) + QLatin1Char('.');
        emit saveFailed(saveError);
        return false;
    }
    emit rowSaved(rows.value(0, -1));
    return true;
}

bool ShotTableModel::resolveConflict(int which, bool writeMine)
{
    if (which < 0 || which >= conflictList.size())
        return false;
    const Conflict conflict = conflictList.takeAt(which);
    emit conflictsChanged();
    if (!writeMine)
        return true;
    const int row = rowOfId(conflict.id);
    if (row < 0) {
        saveError = tr("Shot %1 was not saved: it is no longer shown (another client deleted "
                       "it, or it left the project).")
                        .arg(conflict.id.toString());
        emit saveFailed(saveError);
        return false;
    }
    // Over the value the user was shown, and only over that one.
    return saveRow(row, {{conflict.column, conflict.mine}}, {{conflict.column, conflict.stored}});
}

void ShotTableModel::dropConflicts()
{
    if (conflictList.isEmpty())
        return;
    conflictList.clear();
    emit conflictsChanged();
}

bool ShotTableModel::refreshRow(int row)
{
    if (row < 0 || row >= rowCount() || busy > 0)
        return false;
    ++busy;
    const QVariant id = idOfRow(row);
    bool found = false;
    StatementFailure failure = StatementFailure::None;
    QString error;
    bool reopened = false;
    ShotWriter reader(tableName(), database().connectionName());
    // Through the reader, which reconnects once when the connection was
    // lost; the model's own row read cannot tell a lost connection from a
    // deleted row.
    const QSqlRecord now = reader.readRow(id, &found, &failure, &error, &reopened);
    bool ok = true;
    if (reopened) {
        select();
        emit reconnected();
    } else if (found) {
        bool changed = false;
        for (int column = 0; column < now.count() && !changed; ++column)
            changed = !ShotWriter::sameStored(storedValue(row, column), now.value(column));
        // Only a changed row is read into the model (which repaints it).
        if (changed)
            selectRow(row);
    } else if (failure == StatementFailure::None) {
        selectRow(row); // gone: marks the row as deleted
    }
    if (!found && failure != StatementFailure::None) {
        saveError = tr("Shot %1 could not be read again: %2").arg(id.toString(), error);
        emit saveFailed(saveError);
        ok = false;
    }
    --busy;
    return ok;
}

QVariant ShotTableModel::storedValue(int row, int column) const
{
    QVariant value = QSqlTableModel::data(index(row, column), Qt::EditRole);
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return value.isNull() ? QVariant(QMetaType::fromType<int>()) : QVariant(value.toInt());
    return value;
}

bool ShotTableModel::isGone(int row) const
{
    // Reading back a row that no longer exists marks it as deleted in the
    // model's row cache, which its vertical header shows as "!".
    return QSqlTableModel::headerData(row, Qt::Vertical, Qt::DisplayRole).toString()
        == QLatin1String("!");
}

QVariant ShotTableModel::idOfRow(int row) const
{
    return QSqlTableModel::data(index(row, fieldIndex(QStringLiteral("id"))), Qt::EditRole);
}

int ShotTableModel::rowOfId(const QVariant &id) const
{
    if (id.isNull() || !id.isValid())
        return -1;
    const int column = fieldIndex(QStringLiteral("id"));
    // Rows are visited in order: the driver moves to the next row cheaply,
    // while a jump to an arbitrary row walks the result from its start.
    for (int row = 0; row < rowCount(); ++row) {
        if (QSqlTableModel::data(index(row, column), Qt::EditRole) == id)
            return row;
    }
    return -1;
}

void ShotTableModel::setSort(int column, Qt::SortOrder order)
{
    QSqlTableModel::setSort(column, order);
    requestedSortColumn = column;
    requestedSortOrder = order;
}

void ShotTableModel::sort(int column, Qt::SortOrder order)
{
    // Switching on header sorting asks for the order the rows already have;
    // reading a large project again for that gains nothing.
    if (rowsCurrent && column == selectedSortColumn && order == selectedSortOrder)
        return;
    QSqlTableModel::sort(column, order);
}

bool ShotTableModel::selectRow(int row)
{
    const QVariant id = idOfRow(row);
    if (id.isValid())
        rereadIds.insert(id.toLongLong());
    return QSqlTableModel::selectRow(row);
}

QString ShotTableModel::shownRowsStatement() const
{
    if (rereadIds.isEmpty() || filter().isEmpty())
        return selectStatement();
    QSqlDriver *driver = database().driver();
    QStringList ids;
    ids.reserve(rereadIds.size());
    for (qlonglong id : rereadIds)
        ids << QString::number(id);
    const QString where = QStringLiteral("(%1) OR %2 IN (%3)")
                              .arg(filter(), driver->escapeIdentifier(QStringLiteral("id"), QSqlDriver::FieldName),
                                   ids.join(QLatin1Char(',')));
    const QString statement = driver->sqlStatement(QSqlDriver::SelectStatement, tableName(), record(), false);
    return statement + QStringLiteral(" WHERE ") + where + QLatin1Char(' ') + orderByClause();
}

bool ShotTableModel::selectOnce(StatementFailure *failure, QString *error)
{
    QElapsedTimer clock;
    clock.start();
    rereadIds.clear();
    rowsCurrent = QSqlTableModel::select();
    *failure = rowsCurrent ? StatementFailure::None
                           : classifyFailure(database(), lastError(), clock.elapsed());
    if (!rowsCurrent)
        *error = failureText(lastError(), *failure);
    return rowsCurrent;
}

bool ShotTableModel::select()
{
    emit aboutToSelect();
    ++busy;
    // A cheap question first: a select that fails empties the model, and
    // the user would lose the rows and their place to a server that is
    // down or stalled. The rows stay as they are until the server answers.
    StatementFailure failure = StatementFailure::None;
    QString error;
    bool reopened = false;
    bool ok = true;
    if (rowsCurrent && rowCount() > 0) {
        QSqlQuery probe(database());
        QElapsedTimer clock;
        clock.start();
        if (!probe.exec(QString::fromLatin1(Sql::checkConnection))) {
            failure = classifyFailure(database(), probe.lastError(), clock.elapsed());
            error = failureText(probe.lastError(), failure);
            if (failure != StatementFailure::Refused) {
                QString reopenError;
                reopened = reopenConnection(&reopenError, database());
                if (!reopened) {
                    error += QStringLiteral("; reconnecting failed: ") + reopenError;
                    ok = false;
                }
            }
        }
    }
    if (ok) {
        ok = selectOnce(&failure, &error);
        if (!ok && failure != StatementFailure::Refused && !reopened) {
            // A read is safe to repeat once on a new connection.
            QString reopenError;
            if (reopenConnection(&reopenError, database())) {
                reopened = true;
                ok = selectOnce(&failure, &error);
            } else {
                error += QStringLiteral("; reconnecting failed: ") + reopenError;
            }
        }
    }
    --busy;
    selectedSortColumn = requestedSortColumn;
    selectedSortOrder = requestedSortOrder;
    if (ok && reopened)
        emit reconnected();
    if (!ok) {
        saveError = tr("The shots could not be read: %1").arg(error);
        emit saveFailed(saveError);
    }
    return ok;
}

Csv::Result exportShownShots(const ShotTableModel *model, const QString &path)
{
    QSqlQuery query(model->database());
    query.setForwardOnly(true);
    if (!query.exec(model->shownRowsStatement())) {
        Csv::Result failed;
        failed.error = QObject::tr("The shots could not be read: %1").arg(query.lastError().text());
        return failed;
    }
    return Csv::write(query, path, [model](int column, const QVariant &value) {
        if (model->isPlainTextColumn(column))
            return PlainText::fromStored(value.toString());
        const int type = value.metaType().id();
        if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
            return QString::number(value.toInt());
        return value.toString();
    });
}
