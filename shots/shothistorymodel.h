#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

class DbWorker;

// The recorded changes of one shot, newest first, read from the shared
// history on the database thread: when, who, which field, the value before
// and after. Widget-free.
class ShotHistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { When, Who, Field, Before, After, ColumnCount };
    enum Role { ChangeSetRole = Qt::UserRole + 1 };

    struct Change
    {
        qint64 id = 0;
        QString column;
        QVariant before;
        QVariant after;
        qint64 changeSet = 0;
        qint64 undoes = 0;
        QDateTime at; // the server's clock, shown in local time
        QString dbUser;
        QString osUser;
        QString host;
    };

    explicit ShotHistoryModel(QObject *parent = nullptr, DbWorker *worker = nullptr);

    // Reads the history of this shot (0: none); newer requests replace older.
    void showShot(qlonglong shot);
    // Reads the shown shot's history again.
    void refresh();
    qlonglong shot() const { return shown; }
    const QList<Change> &changes() const { return rows; }
    bool isReading() const { return reading; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // "ana@edit-bay-1", with the database user when it differs.
    static QString who(const Change &change);
    // A value as one short line: "(empty)" for NULL, long text elided.
    static QString shortValue(const QVariant &value);

signals:
    void loaded(bool ok, const QString &error);

private:
    DbWorker *worker = nullptr;
    qlonglong shown = 0;
    quint64 generation = 0;
    bool reading = false;
    QList<Change> rows;
};
