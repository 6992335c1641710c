#include "shots/shothistorymodel.h"

#include "db/dbworker.h"
#include "db/statements.h"
#include "shots/plaintext.h"
#include "shots/shotcolumns.h"

#include <QSqlQuery>

namespace {
constexpr int shortCharacters = 60;
}

ShotHistoryModel::ShotHistoryModel(QObject *parent, DbWorker *worker)
    : QAbstractTableModel(parent)
    , worker(worker ? worker : DbWorker::shared())
{
}

void ShotHistoryModel::showShot(qlonglong shot)
{
    if (shot == shown && !rows.isEmpty())
        return;
    shown = shot;
    refresh();
}

void ShotHistoryModel::refresh()
{
    const quint64 mine = ++generation;
    const qlonglong shot = shown;
    if (!shot) {
        beginResetModel();
        rows.clear();
        endResetModel();
        return;
    }
    reading = true;
    worker->post(
        this,
        [this, shot, mine](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            QSqlQuery query(runner.database());
            QList<Change> list;
            const StatementResult read = runner.run(query, QString::fromLatin1(Sql::changesOfShot), {shot});
            while (read.ok() && query.next()) {
                Change change;
                change.id = query.value(0).toLongLong();
                change.column = query.value(1).toString();
                change.before = query.value(2);
                change.after = query.value(3);
                change.changeSet = query.value(4).toLongLong();
                change.undoes = query.value(5).toLongLong();
                // Seconds since the epoch: the same instant whatever the server's zone.
                change.at = QDateTime::fromMSecsSinceEpoch(qint64(query.value(6).toDouble() * 1000));
                change.dbUser = query.value(7).toString();
                change.osUser = query.value(8).toString();
                change.host = query.value(9).toString();
                list << change;
            }
            return [this, list, read, mine]() {
                if (mine != generation)
                    return;
                reading = false;
                beginResetModel();
                rows = read.ok() ? list : QList<Change>();
                endResetModel();
                emit loaded(read.ok(), read.error);
            };
        },
        tr("Reading the history of shot %1").arg(shot));
}

int ShotHistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int ShotHistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString ShotHistoryModel::who(const Change &change)
{
    QString text = change.osUser.isEmpty() ? QStringLiteral("?") : change.osUser;
    if (!change.host.isEmpty())
        text += QLatin1Char('@') + change.host;
    // The database account, when it is not the same person's name.
    const QString account = change.dbUser.section(QLatin1Char('@'), 0, 0);
    if (!account.isEmpty() && account != change.osUser)
        text += QStringLiteral(" (%1)").arg(account);
    return text;
}

QString ShotHistoryModel::shortValue(const QVariant &value)
{
    if (value.isNull() || !value.isValid())
        return tr("(empty)");
    QString text = PlainText::fromStored(value.toString());
    text.replace(QLatin1Char('\n'), QChar(0x21b5));
    if (text.size() > shortCharacters)
        text = text.left(shortCharacters) + QChar(0x2026);
    return text;
}

QVariant ShotHistoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return QVariant();
    const Change &change = rows.at(index.row());
    if (role == ChangeSetRole)
        return change.changeSet;
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case When: {
            // The server keeps its own clock's time; shown in local time.
            return change.at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        }
        case Who:
            return who(change);
        case Field:
            return change.undoes ? tr("%1 (undo)").arg(ShotColumns::label(change.column))
                                 : ShotColumns::label(change.column);
        case Before:
            return shortValue(change.before);
        case After:
            return shortValue(change.after);
        }
    }
    if (role == Qt::ToolTipRole) {
        if (index.column() == Before || index.column() == After) {
            const QVariant value = index.column() == Before ? change.before : change.after;
            return value.isNull() ? tr("(empty)") : PlainText::fromStored(value.toString());
        }
        if (index.column() == Who)
            return tr("%1 on %2, database user %3").arg(change.osUser, change.host, change.dbUser);
        if (index.column() == When)
            return tr("Change set %1").arg(change.changeSet);
    }
    return QVariant();
}

QVariant ShotHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case When:
        return tr("When");
    case Who:
        return tr("Who");
    case Field:
        return tr("Field");
    case Before:
        return tr("Before");
    case After:
        return tr("After");
    }
    return QVariant();
}
