#pragma once

#include <QHash>
#include <QSet>
#include <QSqlTableModel>

#include "shots/csvexport.h"
#include "shots/shotwriter.h"

// The table model behind the shot grid and the details form.
//
// Edits are written through at once: one UPDATE of exactly the changed
// columns of one row, after which only that row is read back. Re-selecting
// the whole table after every edit would reset both views (the user loses
// the current row, the selection and the scroll position) and re-read a
// project of many thousand shots each time. Columns that identify the clip
// are read-only, so a stray keystroke cannot detach a shot from its file.
class ShotTableModel : public QSqlTableModel
{
    Q_OBJECT

public:
    explicit ShotTableModel(QObject *parent = nullptr, const QSqlDatabase &db = QSqlDatabase());

    void setTable(const QString &tableName) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    // The column names stay the headers; their tooltips say what each holds.
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void setSort(int column, Qt::SortOrder order) override;
    void sort(int column, Qt::SortOrder order) override;

    // Writes the given columns of one row in one statement, then shows what
    // the database holds for that row. Each column is written only if it
    // still holds the value this client read: olds gives, per column, the
    // value the user saw when starting the edit (the row's stored value when
    // absent). Returns true when every column was written; otherwise
    // saveFailed tells why, lastOutcome() which columns went where, a
    // conflict is added to conflicts() and columns not written are handed
    // back through valuesNotSaved.
    bool saveRow(int row, const QHash<int, QVariant> &changes,
                 const QHash<int, QVariant> &olds = {});

    // Writes columns of several rows (a bulk edit), column by column, each
    // over the value this client read for that shot (taken for every column
    // before the first write). Shots another client changed meanwhile are
    // kept and added to conflicts(); saveFailed lists their ids. Returns true
    // when every row was written. The rows are read again afterwards.
    bool saveColumns(const QList<int> &rows, const QHash<int, QVariant> &changes);

    struct Outcome
    {
        QList<int> saved;      // hold the new value now
        QList<int> conflicted; // kept another client's value; see conflicts()
        QList<int> unsaved;    // not written (refused, no connection, no answer)
    };
    const Outcome &lastOutcome() const { return outcome; }

    // A field that another client changed after this client read it, while
    // the user changed it too. Nothing is overwritten until the user chooses.
    struct Conflict
    {
        QVariant id;
        int column = -1;
        QVariant stored; // what the other client stored
        QVariant mine;   // what the user wrote
    };
    QList<Conflict> conflicts() const { return conflictList; }
    // Keeps the stored value (drops the user's), or writes the user's value
    // over the one shown to them; another change meanwhile is a new conflict.
    bool resolveConflict(int index, bool writeMine);
    // Drops every open conflict (the user discarded them).
    void dropConflicts();

    // Reads one row again, so that what is shown starts from what is stored
    // now. Returns false when it could not be read.
    bool refreshRow(int row);

    // The column's value exactly as stored (data() shows the free-text
    // columns as plain text).
    QVariant storedValue(int row, int column) const;
    // location, shottype and notes: free text, possibly several lines.
    bool isPlainTextColumn(int column) const { return plainTextColumns.contains(column); }
    // prod: a yes/no flag, shown and edited in the grid as a check box
    // (partly checked while it is NULL), never as a number.
    bool isFlagColumn(int column) const { return column >= 0 && column == prodColumn; }
    // True while a save or a re-read is running; views then keep their
    // pending edits instead of saving them from inside.
    bool isBusy() const { return busy > 0; }

    // Columns the user may not edit: the key, the project and the clip's
    // identity (path and digests).
    bool isReadOnlyColumn(int column) const;

    // The statement that reads the rows shown: filter and sort in force,
    // and the rows read again since the last select (a row saved so that it
    // no longer matches the filter stays shown, so it is exported too).
    QString shownRowsStatement() const;
    bool selectRow(int row) override;

    // The row holding the shot with the given id, or -1.
    int rowOfId(const QVariant &id) const;
    QVariant idOfRow(int row) const;

    // Why the last edit or save was refused; empty when it went through.
    QString lastSaveError() const { return saveError; }
    // How the last save failed: refused, or the server lost or silent.
    StatementFailure lastFailure() const { return failureKind; }

public slots:
    bool select() override;

signals:
    // Emitted before the rows are read again, while the old rows are still
    // valid, so that pending edits can be written first.
    void aboutToSelect();
    void saveFailed(const QString &message);
    void rowSaved(int row);
    // Columns of the row that a save wrote, and those it could not write
    // (with the values that were meant for them).
    void valuesSaved(int row, const QList<int> &columns);
    void valuesNotSaved(int row, const QHash<int, QVariant> &values);
    void conflictsChanged();
    // The connection was lost and reopened; every row was read again.
    void reconnected();

private:
    bool isGone(int row) const;
    bool selectOnce(StatementFailure *failure, QString *error);

    QList<int> readOnlyColumns;
    QList<int> plainTextColumns;
    int prodColumn = -1;
    QList<Conflict> conflictList;
    Outcome outcome;
    StatementFailure failureKind = StatementFailure::None;
    int busy = 0;
    int requestedSortColumn = -1;
    Qt::SortOrder requestedSortOrder = Qt::AscendingOrder;
    bool rowsCurrent = false;
    // Ids of the rows read again one by one since the last select; they are
    // shown whether or not they still match the filter.
    QSet<qlonglong> rereadIds;
    int selectedSortColumn = -1;
    Qt::SortOrder selectedSortOrder = Qt::AscendingOrder;
    QString saveError;
};

// True when writing value over stored would not change what the column
// means: equal values, or an untouched editor's empty/zero value over NULL.
bool sameColumnValue(const QVariant &stored, const QVariant &value);

// Writes the shots the model shows (filter and sort in force, every column)
// to a CSV file, read again in one forward pass of the model's own
// statement; free text as plain text. See Csv::write.
Csv::Result exportShownShots(const ShotTableModel *model, const QString &path);
