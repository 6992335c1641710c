#include "transcode/joblistmodel.h"

#include <QBrush>
#include <QColor>
#include <QDir>

JobListModel::JobListModel(TranscodeQueue *queue, QObject *parent)
    : QAbstractTableModel(parent)
    , queue(queue)
    , rows(queue->size())
{
    connect(queue, &TranscodeQueue::cleared, this, [this]() {
        beginResetModel();
        rows = 0;
        endResetModel();
    });
    connect(queue, &TranscodeQueue::added, this, [this](int first, int count) {
        beginInsertRows(QModelIndex(), first, first + count - 1);
        rows = first + count;
        endInsertRows();
    });
    connect(queue, &TranscodeQueue::changed, this,
            [this](int row) { emit dataChanged(index(row, 0), index(row, ColumnCount - 1)); });
}

int JobListModel::rowCount(const QModelIndex &parent) const
{
    // The model's own count, so views hear of every row before they ask.
    return parent.isValid() ? 0 : rows;
}

int JobListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant JobListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows)
        return QVariant();
    const Entry &entry = queue->entry(index.row());
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
        case NoteColumn:
            return entry.note;
        }
    } else if (role == Qt::ToolTipRole && index.column() == StateColumn) {
        if (entry.details.isEmpty())
            return stateText(entry);
        return stateText(entry) + QLatin1Char('\n') + entry.details.join(QLatin1Char('\n'));
    } else if (role == Qt::ToolTipRole && index.column() == NoteColumn && !entry.note.isEmpty()) {
        return entry.note;
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
    case NoteColumn:
        return QStringLiteral("Note");
    }
    return QVariant();
}
