#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QVariant>

#include "shots/csvexport.h"
#include "shots/shotrow.h"

class DbWorker;
class ShotEdits;


// The table model behind the shot grid and the details form: the shots of
// one project, read on the database thread and held here as plain values,
// so that painting, scrolling and sorting never wait for the server.
//
// The rows are read in one statement (the filter and sort in force) and
// handed over whole; a read that fails keeps the rows shown. Edits go to
// the edits object (one checked save per edit, see ShotEdits), which holds
// what the user typed until the database has it: the model shows a field's
// draft in place of its stored value, marked, and the values the server
// holds after a save. Columns that identify the clip are read-only, so a
// stray keystroke cannot detach a shot from its file.
class ShotTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Role {
        // setData with it records what the user typed, without saving (the
        // form saves when the user moves on).
        TypingRole = Qt::UserRole + 1,
        // The value exactly as stored, draft or not.
        StoredRole,
        // The field's draft state (ShotEdits::State as int), or -1 without one.
        DraftStateRole,
    };

    // edits: shared by the window's grids over time (it outlives a model
    // when the project changes); the model makes its own when none is given.
    explicit ShotTableModel(QObject *parent = nullptr, ShotEdits *edits = nullptr, DbWorker *worker = nullptr);
    ~ShotTableModel() override;

    void setTable(const QString &table);
    QString tableName() const { return table; }
    // The project whose shots the counts refer to.
    void setProject(int project) { projectId = project; }
    // The row condition; reads the rows again when it changes.
    void setFilter(const QString &filter);
    QString filter() const { return rowFilter; }
    // The order of the next read.
    void setSort(int column, Qt::SortOrder order);
    // The order of the next read by the column's name (before the columns
    // are known: the order a project was last shown in).
    void setSortName(const QString &column, Qt::SortOrder order);
    QString sortColumnName() const { return sortByName; }
    // Reads the rows again in this order (the server sorts, by the column's
    // collation), unless they are in it already.
    void sort(int column, Qt::SortOrder order) override;
    int sortColumn() const { return sortBy; }
    Qt::SortOrder sortOrder() const { return order; }
    // Reads the rows on the database thread; the views keep their place.
    // False when there is no table to read.
    bool select();
    // Reads one row again (the row the form moves to), so it shows what is
    // stored now.
    void refreshShot(int row);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // Columns as the server reports them; known once the first read is in.
    bool hasColumns() const { return !columns.isEmpty(); }
    int fieldIndex(const QString &name) const { return int(columns.indexOf(name)); }
    QString columnName(int column) const { return columns.value(column); }
    QStringList columnNames() const { return columns; }
    // Characters the column holds (its declared length), or -1.
    int columnLimit(int column) const { return limits.value(columnName(column), -1); }

    // The column's value exactly as stored (data() shows drafts and the
    // free-text columns as plain text).
    QVariant storedValue(int row, int column) const;
    QVariant idOfRow(int row) const;
    qlonglong shotOfRow(int row) const;
    // The row holding the shot with the given id, or -1.
    int rowOfId(const QVariant &id) const;
    // The project's shots, filter or not, counted with the last read; -1
    // when the server could not say.
    int projectShotCount() const { return projectTotal; }
    // The project's name, read with the rows.
    QString projectName() const { return project; }

    // The values the project's shots hold in a column (location, scene,
    // shot type), for completion: read in one statement each, on request
    // (the window asks when it opens and on Refresh).
    void readCompletions();
    QStringList completions(const QString &column) const { return valuesUsed.value(column); }

    // location, shottype and notes: free text, possibly several lines.
    bool isPlainTextColumn(int column) const;

    // What the sync read from the clips' media, when the database keeps it
    // (the tables shot_media and shot_posters): read-only columns after
    // those of shots, sorted and searched by the server like the others.
    // "poster" holds no value; the grid paints the poster there.
    bool hasMedia() const { return media; }
    bool isMediaColumn(int column) const { return column >= shotColumns; }
    // The clip's measured length in ms, or -1.
    qint64 mediaLengthMs(int row) const { return lengths.value(row, -1); }
    // The facts of a row as one line ("1920x1080i 29.97, 0:12.345, TC
    // 01:00:00:00, recorded ..."), or why the clip could not be read.
    QString mediaSummary(int row) const;
    // The SQL expression a column is sorted by (a media column sorts by
    // what it stands for: the recording time, the length ...).
    QString sortExpression(const QString &column) const;
    // prod: a yes/no flag, shown and edited in the grid as a check box
    // (partly checked while it is NULL), never as a number.
    bool isFlagColumn(int column) const { return column >= 0 && columnName(column) == QLatin1String("prod"); }
    // The key, the project and the clip's identity (path and digests).
    bool isReadOnlyColumn(int column) const;
    // The names of the media columns, in their order.
    static QStringList mediaColumnNames();

    ShotEdits *edits() const { return shotEdits; }
    // Rows being read, or edits of this window being saved.
    bool isBusy() const;

    // Every row shown, with each column as stored (free text as plain
    // text), for an export written off the GUI thread.
    QList<ShotRow> shownRows() const;

signals:
    // Just before new rows replace the old ones (the views note their place).
    void aboutToSelect();
    // The rows were read (ok) or could not be (the old ones stay).
    void selected(bool ok);
    void columnsReady();
    // A line for the status bar: a problem the user should see, or a note.
    void saveFailed(const QString &message);
    void notice(const QString &message);
    // The connection was lost and reopened.
    void reconnected();
    void busyChanged(bool busy);
    void completionsRead();

private:
    struct ReadResult;
    void startRead();
    void applyRead(const ReadResult &result, quint64 generation);
    void showDrafts(const QList<qlonglong> &shots);
    void storeValues(const QHash<qlonglong, QHash<QString, QVariant>> &values);
    void emitRowsChanged(const QList<int> &rows);
    void setReading(bool on);
    QVariant shownValue(int row, int column) const;

    DbWorker *worker = nullptr;
    ShotEdits *shotEdits = nullptr;
    QString table;
    QString rowFilter;
    int projectId = 0;
    int sortBy = -1;
    Qt::SortOrder order = Qt::AscendingOrder;
    QString sortByName;        // the column to sort by, by name
    QString issuedSortName = QStringLiteral("\n"); // the order of the latest read asked for
    Qt::SortOrder issuedOrder = Qt::AscendingOrder;
    bool readDue = false;
    QString sortName;         // the column the rows were read in order of
    Qt::SortOrder readOrder = Qt::AscendingOrder;

    QStringList columns;
    int shotColumns = 0;      // columns of shots; the media ones follow
    bool media = false;
    QHash<QString, int> limits;
    QList<ShotRow> rows;
    QList<qint64> lengths;    // per row, the measured length (ms, -1 unknown)
    QStringList summaries;    // per row, the facts in one line
    QHash<qlonglong, int> rowById;
    int projectTotal = -1;
    QString project;
    QHash<QString, QStringList> valuesUsed;

    quint64 generation = 0;   // of the latest read asked for
    quint64 appliedGeneration = 0;
    quint64 readTicket = 0;
    int refreshes = 0;
    bool reading = false;
    bool wasBusy = false;
};

// The shots a model shows, copied for an export written on another thread:
// the columns (in the given order), their names and the stored values.
struct ShotExport
{
    QStringList header;
    QList<int> columns;
    QList<bool> plainText;
    QList<ShotRow> rows;
    bool byteOrderMark = false; // for spreadsheet programs

    // Writes them as CSV (see Csv::write); free text as plain text, NULL
    // as an empty field. Safe on any thread.
    Csv::Result write(const QString &path) const;
};

// The rows shown (filter and sort in force, and rows saved out of the
// filter since): every column under its name, or the given columns, in that
// order, under their words ("Location").
ShotExport exportOfShownShots(const ShotTableModel *model, const QList<int> &columns = {});
Csv::Result exportShownShots(const ShotTableModel *model, const QString &path);
