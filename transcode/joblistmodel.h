#pragma once

#include "transcode/transcodejob.h"

#include <QAbstractTableModel>
#include <QList>

// The jobs of the current run and what became of each, so a failure stays
// visible after the log has moved on to the next job.
class JobListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum State { Waiting, Running, Done, Failed, Skipped };
    // The state first: it is what a narrow window must still show.
    enum Column { StateColumn, PresetColumn, ClipColumn, OutputColumn, ColumnCount };

    struct Entry
    {
        TranscodeJob job;
        State state = Waiting;
        QString reason;        // why it failed or was skipped
        QStringList details;   // the end of the encoder's output
    };

    explicit JobListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void clear();
    // Appends entries in one step; returns the row of the first.
    int append(const QList<Entry> &entries);
    const Entry &entry(int row) const { return entries.at(row); }
    void setState(int row, State state, const QString &reason = QString(),
                  const QStringList &details = QStringList());
    int count(State state) const;

    // "waiting", "failed: exit code 1", ...
    static QString stateText(const Entry &entry);

private:
    QList<Entry> entries;
};
