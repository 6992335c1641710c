#pragma once

#include <QHash>
#include <QSqlTableModel>

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
    void setSort(int column, Qt::SortOrder order) override;
    void sort(int column, Qt::SortOrder order) override;

    // Writes the given columns of one row in one statement, then shows what
    // the database holds for that row. Returns false (and emits saveFailed)
    // when the database refused the write.
    bool saveRow(int row, const QHash<int, QVariant> &changes);

    // Columns the user may not edit: the key, the project and the clip's
    // identity (path and digests).
    bool isReadOnlyColumn(int column) const;

    // The row holding the shot with the given id, or -1.
    int rowOfId(const QVariant &id) const;
    QVariant idOfRow(int row) const;

    // Why the last edit or save was refused; empty when it went through.
    QString lastSaveError() const { return saveError; }

public slots:
    bool select() override;

signals:
    // Emitted before the rows are read again, while the old rows are still
    // valid, so that pending edits can be written first.
    void aboutToSelect();
    void saveFailed(const QString &message);
    void rowSaved(int row);

private:
    bool isGone(int row) const;

    QList<int> readOnlyColumns;
    int requestedSortColumn = -1;
    Qt::SortOrder requestedSortOrder = Qt::AscendingOrder;
    bool rowsCurrent = false;
    int selectedSortColumn = -1;
    Qt::SortOrder selectedSortOrder = Qt::AscendingOrder;
    QString saveError;
};

// True when writing value over stored would not change what the column
// means: equal values, or an untouched editor's empty/zero value over NULL.
bool sameColumnValue(const QVariant &stored, const QVariant &value);
