#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QVariant>

#include "shots/csvexport.h"
#include "shots/shotcolumns.h"
#include "shots/shotquery.h"
#include "shots/quicktags.h"
#include "shots/shotreader.h"
#include "shots/shotrow.h"

class DbWorker;
class ShotEdits;


// The table model behind the shot grid and the details form: the shots of
// one project, read on the database thread (ShotReader) and held here as
// plain values, so that painting and scrolling never wait for the server.
//
// What is shown is a ShotQuery: the project, the find and the order. A new
// one that the rows held already answer is worked out here, on a thread of
// its own: a header click sorts the held rows as the server would, and one
// more character typed into the find narrows them (ShotOrder). Anything
// else, and what cannot be compared here exactly as the server compares it,
// is read again. A read that fails keeps the rows shown.
//
// Edits go to the edits object (one checked save per edit, see ShotEdits),
// which holds what the user typed until the database has it: the model
// shows a field's draft in place of its stored value, marked, and the
// values the server holds after a save. Columns that identify the clip are
// read-only, so a stray keystroke cannot detach a shot from its file.
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

    // The shots to show: the rows follow (read, sorted or narrowed) from
    // the event loop, so what is asked in one go becomes one read.
    void setQuery(const ShotQuery &query);
    // What was asked for last.
    ShotQuery query() const { return wanted; }
    // The project whose shots are shown.
    void setProject(int project);
    // The words of the find field and "not yet logged".
    void setFind(const QString &typed, bool notYetLogged);
    // The order of the rows.
    void setSort(int column, Qt::SortOrder order);
    // The order by the column's name (before the columns are known: the
    // order a project was last shown in).
    void setSortName(const QString &column, Qt::SortOrder order);
    QString sortColumnName() const { return wanted.sortColumn; }
    // A header click: sorts the rows held, or reads them in that order
    // when they cannot be sorted here.
    void sort(int column, Qt::SortOrder order) override;
    int sortColumn() const { return fieldIndex(wanted.sortColumn); }
    Qt::SortOrder sortOrder() const { return wanted.order; }
    // Reads the rows again from the server; the views keep their place.
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
    bool hasColumns() const { return layout.isValid(); }
    int fieldIndex(const QString &name) const { return int(layout.columns.indexOf(name)); }
    QString columnName(int column) const { return layout.columns.value(column); }
    QStringList columnNames() const { return layout.columns; }
    // Characters the column holds (its declared length), or -1.
    int columnLimit(int column) const { return layout.limits.value(columnName(column), -1); }

    // The column's value exactly as stored (data() shows drafts and the
    // free-text columns as plain text).
    QVariant storedValue(int row, int column) const;
    // The value an edit of the field starts from, and its save is checked
    // against: the one its draft was typed over, else the stored one.
    QVariant editBase(int row, int column) const;
    QVariant idOfRow(int row) const;
    qlonglong shotOfRow(int row) const;
    // The row holding the shot with the given id, or -1.
    int rowOfId(const QVariant &id) const;
    // The project's shots, filter or not, counted with the last read; -1
    // when the server could not say.
    int projectShotCount() const { return projectTotal; }
    // The project's name, read with the rows.
    QString projectName() const { return project; }

    // The values the project's shots hold in the columns the form completes
    // (location, scene, shot type): read on request (the window asks when
    // it opens and on Refresh), and joined by each value saved meanwhile.
    void readCompletions();
    QStringList completions(const QString &column) const { return valuesUsed.value(column); }

    // Quick tags, when the database keeps them (the tables shot_tags and
    // project_tags): the Tags column, and the project's list, read with the
    // completions (the defaults until it is read, and for a project that
    // has none stored).
    bool hasTags() const { return layout.tags; }
    QStringList projectTags() const { return tagList; }
    // Stores the project's list in place of the one it has.
    void storeProjectTags(const QStringList &tags);
    // Puts the tag on the shots of rows, or takes it off when every one of
    // them has it: one save of them all, one change to undo. False when
    // there is nothing to toggle (no tags column, no rows).
    bool toggleTag(const QString &tag, const QList<int> &rows);

    // location, shottype and notes: free text, possibly several lines.
    bool isPlainTextColumn(int column) const { return ShotColumns::isPlainText(columnName(column)); }

    // What the sync read from the clips' media, when the database keeps it
    // (the tables shot_media and shot_posters): read-only columns after
    // those of shots, sorted and found like the others. "poster" holds no
    // value; the grid paints the poster there.
    bool hasMedia() const { return layout.media; }
    bool isMediaColumn(int column) const { return layout.isMediaColumn(column); }
    // The clip's measured length in ms, or -1.
    qint64 mediaLengthMs(int row) const { return lengths.value(row, -1); }
    // The facts of a row as one line ("1920x1080i 29.97, 0:12.345, TC
    // 01:00:00:00, recorded ..."), or why the clip could not be read.
    QString mediaSummary(int row) const { return summaries.value(row); }
    // prod: a yes/no flag, shown and edited in the grid as a check box
    // (partly checked while it is NULL), never as a number.
    bool isFlagColumn(int column) const { return ShotColumns::isFlag(columnName(column)); }
    // The key, the project, the clip's identity and the media facts.
    bool isReadOnlyColumn(int column) const;
    // The names of the media columns, in their order.
    static QStringList mediaColumnNames() { return ShotColumns::media(); }

    ShotEdits *edits() const { return shotEdits; }
    // Rows being read, sorted or narrowed, or edits of this window being saved.
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
    // The values offered for completion changed: read, or a save added some.
    void completionsRead();
    // The project's list of quick tags was read or stored.
    void tagsRead();

private:
    // The rows for wanted, from the event loop: worked out from the rows
    // held when they answer it, else read (always read when fromServer).
    void requestRows(bool fromServer);
    void startWork();
    void startRead();
    // Sorts or narrows the held rows on a thread of their own; falls back
    // to a read when they cannot be.
    void startLocal(bool sortOnly);
    void applyRead(const ShotRows &result, quint64 generation);
    void applyOrder(const QList<int> &order, const QHash<qlonglong, int> &byId, const ShotQuery &query);
    void showDrafts(const QList<qlonglong> &shots);
    void storeValues(const QHash<qlonglong, QHash<QString, QVariant>> &values);
    void offerValues(const QHash<qlonglong, QHash<QString, QVariant>> &values);
    void emitRowsChanged(const QList<int> &rows);
    void setReading(bool on);
    QVariant shownValue(int row, int column) const;

    DbWorker *worker = nullptr;
    ShotEdits *shotEdits = nullptr;
    QString table;
    ShotQuery wanted;          // asked for last
    ShotQuery shown;           // what the rows held answer
    bool rowsHeld = false;     // the rows held are every row of shown
    bool workDue = false;      // a request waits for the event loop
    bool readDue = false;      // ... and it must read
    bool started = false;      // the first request was made

    ShotLayout layout;
    ServerCollations collations;
    QList<ShotRow> rows;
    QList<ShotRow> mediaValues; // per row, the media facts as stored (see ShotRows)
    QList<qint64> lengths;    // per row, the measured length (ms, -1 unknown)
    QStringList summaries;    // per row, the facts in one line
    QHash<qlonglong, int> rowById;
    int projectTotal = -1;
    QString project;
    QHash<QString, QStringList> valuesUsed;
    QStringList tagList = QuickTags::defaults();

    quint64 generation = 0;   // of the latest work started
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
    bool byteOrderMark = false; // for spreadsheet programs: the mark, and no cell run as a formula

    // Writes them as CSV (see Csv::write); free text as plain text, NULL
    // as an empty field. Safe on any thread.
    Csv::Result write(const QString &path) const;
};

// The rows shown (filter and sort in force, and rows saved out of the
// filter since): every column under its name, or the given columns, in that
// order, under their words ("Location").
ShotExport exportOfShownShots(const ShotTableModel *model, const QList<int> &columns = {});
Csv::Result exportShownShots(const ShotTableModel *model, const QString &path);
