#pragma once

#include "transcode/transcodequeue.h"

#include <QAbstractTableModel>

// Shows the jobs of the current run and what became of each, so a failure
// stays visible after the log has moved on to the next job. The jobs
// themselves live in the queue; this model only presents them.
class JobListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using State = TranscodeQueue::State;
    static constexpr State Waiting = TranscodeQueue::Waiting;
    static constexpr State Running = TranscodeQueue::Running;
    static constexpr State Done = TranscodeQueue::Done;
    static constexpr State Failed = TranscodeQueue::Failed;
    static constexpr State Skipped = TranscodeQueue::Skipped;
    using Entry = TranscodeQueue::Entry;

    // The state first: it is what a narrow window must still show.
    enum Column { StateColumn, PresetColumn, ClipColumn, OutputColumn, NoteColumn, ColumnCount };

    explicit JobListModel(TranscodeQueue *queue, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const Entry &entry(int row) const { return queue->entry(row); }
    int count(State state) const { return queue->count(state); }

    // "waiting", "failed: exit code 1", ...
    static QString stateText(const Entry &entry) { return TranscodeQueue::stateText(entry); }

private:
    TranscodeQueue *queue;
    int rows = 0;
};
