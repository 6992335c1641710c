#include "shots/shottablemodel.h"

#include <QSqlError>
#include <QSqlRecord>

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
    return result;
}

QVariant ShotTableModel::data(const QModelIndex &index, int role) const
{
    QVariant value = QSqlTableModel::data(index, role);
    // The driver reports a NULL in a TINYINT column (the production flag) as
    // a char, which has no editor and prints as a control character.
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar) {
        if (value.isNull())
            return QVariant(QMetaType::fromType<int>());
        return value.toInt();
    }
    return value;
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
    if (role != Qt::EditRole || !index.isValid())
        return QSqlTableModel::setData(index, value, role);
    saveError.clear();
    if (!(flags(index) & Qt::ItemIsEditable))
        return false;
    if (sameColumnValue(data(index, Qt::EditRole), value))
        return true;
    return saveRow(index.row(), {{index.column(), value}});
}

bool ShotTableModel::saveRow(int row, const QHash<int, QVariant> &changes)
{
    saveError.clear();
    if (row < 0 || row >= rowCount())
        return false;
    QSqlRecord values = record();
    for (int i = 0; i < values.count(); ++i)
        values.setGenerated(i, false);
    QStringList columns;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.key() < 0 || it.key() >= values.count() || isReadOnlyColumn(it.key()))
            continue;
        values.setValue(it.key(), it.value());
        values.setGenerated(it.key(), true);
        columns << values.fieldName(it.key());
    }
    if (columns.isEmpty())
        return true;

    if (isGone(row)) {
        saveError = tr("The shot was not saved: it is no longer in the database (another "
                       "client deleted it).");
        emit saveFailed(saveError);
        return false;
    }
    const QVariant id = idOfRow(row);
    bool written = updateRowInTable(row, values);
    if (!written)
        saveError = tr("Shot %1 was not saved (%2): %3 The database keeps its previous value.")
                        .arg(id.toString(), columns.join(QStringLiteral(", ")),
                             lastError().text().trimmed());

    // Show what the database holds now, whether or not the write went
    // through. When even that read fails, the row still shows its last
    // stored values, never the refused ones; the views are told in any case,
    // since an editor may still show what was refused.
    selectRow(row);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));

    // An UPDATE of a row that another client deleted succeeds without
    // changing anything; reading the row back tells.
    if (written && isGone(row)) {
        written = false;
        saveError = tr("Shot %1 was not saved: it is no longer in the database (another client "
                       "deleted it).")
                        .arg(id.toString());
    }

    if (!written) {
        emit saveFailed(saveError);
        return false;
    }
    emit rowSaved(row);
    return true;
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

bool ShotTableModel::select()
{
    emit aboutToSelect();
    rowsCurrent = QSqlTableModel::select();
    selectedSortColumn = requestedSortColumn;
    selectedSortOrder = requestedSortOrder;
    return rowsCurrent;
}
