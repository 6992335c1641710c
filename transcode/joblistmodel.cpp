#include "transcode/joblistmodel.h"

#include <QBrush>
#include <QColor>
#include <QDir>

JobListModel::JobListModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

int JobListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(entries.size());
}

int JobListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString JobListModel::stateText(const Entry &entry)
{
    QString text;
    switch (entry.state) {
    case Waiting:
        text = QStringLiteral("waiting");
        break;
    case Running:
        text = QStringLiteral("running");
        break;
    case Done:
        text = QStringLiteral("done");
        break;
    case Failed:
        text = QStringLiteral("failed");
        break;
    case Skipped:
        text = QStringLiteral("skipped");
        break;
    }
    if (!entry.reason.isEmpty())
        text += QStringLiteral(": ") + entry.reason;
    return text;
}

QVariant JobListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= entries.size())
        return QVariant();
    const Entry &entry = entries.at(index.row());
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case ClipColumn:
            return entry.job.source;
        case PresetColumn:
            return entry.job.preset;
        case OutputColumn:
            return QDir::toNativeSeparators(entry.job.output);
        case StateColumn:
            return stateText(entry);
        }
    } else if (role == Qt::ToolTipRole && index.column() == StateColumn) {
        if (entry.details.isEmpty())
            return stateText(entry);
        return stateText(entry) + QLatin1Char('\n') + entry.details.join(QLatin1Char('\n'));
    } else if (role == Qt::ForegroundRole && index.column() == StateColumn && entry.state == Failed) {
        return QBrush(QColor(Qt::red).darker(120));
    }
    return QVariant();
}

QVariant JobListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case ClipColumn:
        return QStringLiteral("Clip");
    case PresetColumn:
        return QStringLiteral("Preset");
    case OutputColumn:
        return QStringLiteral("Output");
    case StateColumn:
        return QStringLiteral("State");
    }
    return QVariant();
}

void JobListModel::clear()
{
    beginResetModel();
    entries.clear();
    endResetModel();
}

int JobListModel::append(const QList<Entry> &added)
{
    const int first = int(entries.size());
    if (added.isEmpty())
        return first;
    beginInsertRows(QModelIndex(), first, first + int(added.size()) - 1);
    entries += added;
    endInsertRows();
    return first;
}

void JobListModel::setState(int row, State state, const QString &reason, const QStringList &details)
{
    if (row < 0 || row >= entries.size())
        return;
    Entry &entry = entries[row];
    entry.state = state;
    entry.reason = reason;
    entry.details = details;
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

int JobListModel::count(State state) const
{
    int n = 0;
    for (const Entry &entry : entries)
        n += entry.state == state ? 1 : 0;
    return n;
}
