#include "shots/shottablemodel.h"

#include "db/dbworker.h"
#include "shots/plaintext.h"
#include "shots/shotedits.h"
#include "shots/shotorder.h"
#include "shots/shotrow.h"
#include "shots/shotwriter.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {
// A cell shows one line of this many characters at most; the form and the
// tooltip show the rest. Laying out a note of many kilobytes in every
// repaint of the grid would stall the window.
constexpr int shownCharacters = 200;
constexpr int tooltipCharacters = 4000;

QString oneLine(const QString &text, bool *cut)
{
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    QString line = lineEnd >= 0 ? text.left(lineEnd) : text;
    *cut = lineEnd >= 0;
    if (line.size() > shownCharacters) {
        line.truncate(shownCharacters);
        *cut = true;
    }
    if (*cut)
        line += QChar(0x2026);
    return line;
}

// Rows replaced are freed on another thread: a hundred thousand of them
// take a tenth of a second to free.
struct Retired
{
    QList<ShotRow> rows;
    QList<ShotRow> mediaValues;
    QList<qint64> lengths;
    QStringList summaries;
    QHash<qlonglong, int> rowById;
};
} // namespace

ShotTableModel::ShotTableModel(QObject *parent, ShotEdits *edits, DbWorker *worker)
    : QAbstractTableModel(parent)
    , worker(worker ? worker : DbWorker::shared())
    , shotEdits(edits ? edits : new ShotEdits(this->worker, this))
{
    connect(shotEdits, &ShotEdits::changed, this, &ShotTableModel::showDrafts);
    connect(shotEdits, &ShotEdits::stored, this, &ShotTableModel::storeValues);
    connect(shotEdits, &ShotEdits::message, this, [this](const QString &text, bool problem) {
        if (problem)
            emit saveFailed(text);
        else
            emit notice(text);
    });
    connect(shotEdits, &ShotEdits::reconnected, this, &ShotTableModel::reconnected);
    connect(shotEdits, &ShotEdits::busyChanged, this, [this]() { setReading(reading); });
}

ShotTableModel::~ShotTableModel()
{
    if (readTicket)
        worker->cancel(readTicket);
}

void ShotTableModel::setTable(const QString &name)
{
    table = name;
    shotEdits->setTable(name);
}

void ShotTableModel::setQuery(const ShotQuery &query)
{
    if (started && query == wanted)
        return;
    wanted = query;
    requestRows(false);
}

void ShotTableModel::setProject(int projectId)
{
    ShotQuery next = wanted;
    next.project = projectId;
    setQuery(next);
}

void ShotTableModel::setFind(const QString &typed, bool notYetLogged)
{
    ShotQuery next = wanted;
    next.find = typed;
    next.notYetLogged = notYetLogged;
    setQuery(next);
}

void ShotTableModel::setSort(int column, Qt::SortOrder sortOrder)
{
    // Before the columns are known only the first, the key, can be named.
    setSortName(column == 0 && !hasColumns() ? QStringLiteral("id") : columnName(column), sortOrder);
}

void ShotTableModel::setSortName(const QString &column, Qt::SortOrder sortOrder)
{
    if (column.isEmpty())
        return;
    ShotQuery next = wanted;
    next.sortColumn = column;
    next.order = sortOrder;
    setQuery(next);
}

void ShotTableModel::sort(int column, Qt::SortOrder sortOrder)
{
    // Switching on header sorting asks for the order the rows already have
    // (or are being read in): setQuery() then does nothing.
    setSort(column, sortOrder);
}

bool ShotTableModel::isBusy() const
{
    return reading || refreshes > 0 || shotEdits->isBusy();
}

void ShotTableModel::setReading(bool on)
{
    reading = on;
    const bool busy = isBusy();
    if (busy != wasBusy) {
        wasBusy = busy;
        emit busyChanged(busy);
    }
}

bool ShotTableModel::select()
{
    if (table.isEmpty())
        return false;
    requestRows(true);
    return true;
}

void ShotTableModel::requestRows(bool fromServer)
{
    if (table.isEmpty())
        return;
    started = true;
    // Asked for now, worked out from the event loop: what is asked in one go
    // (a new grid's project, order and place) becomes one read.
    setReading(true);
    readDue = readDue || fromServer;
    if (workDue)
        return;
    workDue = true;
    QTimer::singleShot(0, this, [this]() {
        workDue = false;
        startWork();
    });
}

void ShotTableModel::startWork()
{
    const bool mustRead = readDue;
    readDue = false;
    // A read still on its way answers an older question: what it brings is
    // dropped, and so is anything worked out from the rows held before.
    const bool readRunning = readTicket != 0;
    if (!mustRead && rowsHeld && !readRunning) {
        if (wanted == shown) {
            ++generation;
            setReading(false);
            return;
        }
        if (wanted.sameShots(shown)) {
            startLocal(true);
            return;
        }
        if (wanted.narrows(shown) && wanted.sortColumn == shown.sortColumn && wanted.order == shown.order) {
            startLocal(false);
            return;
        }
    }
    startRead();
}

void ShotTableModel::startLocal(bool sortOnly)
{
    const quint64 mine = ++generation;
    auto held = std::make_shared<ShotOrder::Held>();
    held->layout = layout;
    held->rows = rows; // shared, not copied: the values stay while the thread works
    held->mediaValues = mediaValues;
    held->collations = collations;
    const ShotQuery query = wanted;
    QPointer<ShotTableModel> self(this);
    // The one thread for this kind of work: the global pool. The rows held
    // are never written while it reads them (a save writes a copy).
    QThreadPool::globalInstance()->start([self, held, query, sortOnly, mine]() {
        const std::optional<QList<int>> order = sortOnly ? ShotOrder::sorted(*held, query.sortColumn, query.order)
                                                         : ShotOrder::narrowed(*held, query);
        const QHash<qlonglong, int> byId = order ? ShotOrder::rowsById(*held, *order) : QHash<qlonglong, int>();
        QMetaObject::invokeMethod(
            qApp,
            [self, order, byId, query, mine]() {
                if (!self || mine != self->generation || self->workDue)
                    return; // asked for something else meanwhile
                if (order)
                    self->applyOrder(*order, byId, query);
                else
                    self->startRead(); // not here: the server sorts or finds
            },
            Qt::QueuedConnection);
    });
}

void ShotTableModel::startRead()
{
    // A newer read replaces one still waiting to start: only the latest is
    // shown. One already running is let finish (its rows are dropped):
    // cutting it off would cost the connection.
    if (readTicket)
        worker->cancelQueued(readTicket);
    const quint64 mine = ++generation;
    const QString table = this->table;
    const ShotQuery query = wanted;
    const ShotLayout known = layout;
    const ServerCollations learnt = collations;
    auto ticket = std::make_shared<quint64>(0);
    readTicket = *ticket = worker->post(
        this,
        [=](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            ShotReader reader(runner, table);
            auto result = std::make_shared<ShotRows>(reader.read(query, known, learnt));
            return [this, result, mine, ticket]() {
                if (readTicket == *ticket)
                    readTicket = 0;
                applyRead(*result, mine);
            };
        },
        tr("Reading the shots"));
}

void ShotTableModel::refreshShot(int row)
{
    const qlonglong shot = shotOfRow(row);
    if (!shot || table.isEmpty())
        return;
    const QString table = this->table;
    ++refreshes;
    setReading(reading);
    worker->post(
        this,
        [this, table, shot, tags = layout.tags](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            StoredValues values;
            const StatementResult read = ShotReader(runner, table).readShot(shot, &values[shot], tags);
            if (values.value(shot).isEmpty())
                values.clear();
            return [this, values, read]() {
                --refreshes;
                if (!values.isEmpty())
                    storeValues(values);
                setReading(reading);
                if (read.reconnected)
                    emit reconnected();
            };
        },
        tr("Reading shot %1").arg(shot));
}

void ShotTableModel::readCompletions()
{
    if (wanted.project <= 0 || table.isEmpty())
        return;
    const int projectNumber = wanted.project;
    const QString table = this->table;
    worker->post(
        this,
        [this, projectNumber, table](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            QHash<QString, QStringList> values;
            ShotReader reader(runner, table);
            if (!reader.readCompletions(projectNumber, &values).ok())
                return {};
            // Without the tables of tags the read is refused: the defaults stay.
            QStringList tags;
            const bool tagsKnown = reader.readProjectTags(projectNumber, &tags).ok();
            return [this, values, tags, tagsKnown]() {
                valuesUsed = values;
                emit completionsRead();
                if (tagsKnown) {
                    tagList = tags;
                    emit tagsRead();
                }
            };
        },
        tr("Reading the values used in the project"));
}

void ShotTableModel::storeProjectTags(const QStringList &tags)
{
    if (wanted.project <= 0)
        return;
    const int projectNumber = wanted.project;
    worker->post(
        this,
        [this, projectNumber, tags](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            const StatementResult stored = ShotWriter(runner).writeProjectTags(projectNumber, tags);
            return [this, tags, stored]() {
                if (!stored.ok()) {
                    emit saveFailed(tr("The project's tags were not saved: %1").arg(stored.error.trimmed()));
                    return;
                }
                tagList = tags.isEmpty() ? QuickTags::defaults() : tags;
                emit tagsRead();
            };
        },
        tr("Saving the project's tags"));
}

bool ShotTableModel::toggleTag(const QString &tag, const QList<int> &targetRows)
{
    const int column = fieldIndex(QLatin1String(ShotColumns::tagsColumn));
    if (column < 0 || tag.isEmpty())
        return false;
    QList<int> valid;
    QList<qlonglong> shots;
    QList<QVariant> shown; // with what is on its way to the server
    bool everyOneHasIt = true;
    for (int row : targetRows) {
        if (row < 0 || row >= rows.size())
            continue;
        valid << row;
        shots << shotOfRow(row);
        shown << shownValue(row, column);
        everyOneHasIt = everyOneHasIt && QuickTags::has(shown.last(), tag);
    }
    if (shots.isEmpty())
        return false;
    const QString name = columnName(column);
    for (int i = 0; i < shots.size(); ++i)
        shotEdits->type(shots.at(i), name, editBase(valid.at(i), column),
                        QuickTags::toggled(shown.at(i), tag, !everyOneHasIt));
    // Only the tags: whatever is typed in the fields stays a draft, saved
    // (and undone) on its own.
    shotEdits->save(shots, true, name);
    return true;
}

void ShotTableModel::applyRead(const ShotRows &result, quint64 readGeneration)
{
    // A newer read, sort or find is on its way, or asked for and about to
    // start: these rows are older than what the user asked for, and the
    // model stays busy until the newer ones are in.
    if (readGeneration != generation || workDue)
        return;
    if (!result.status.ok()) {
        setReading(false);
        if (result.status.failure != StatementFailure::Cancelled)
            emit saveFailed(tr("The shots could not be read: %1").arg(result.status.error));
        emit selected(false);
        return;
    }
    emit aboutToSelect();
    const bool newColumns = result.layout.columns != layout.columns;
    beginResetModel();
    auto retired = std::make_shared<Retired>();
    retired->rows.swap(rows);
    retired->mediaValues.swap(mediaValues);
    retired->lengths.swap(lengths);
    retired->summaries.swap(summaries);
    retired->rowById.swap(rowById);
    QThreadPool::globalInstance()->start([retired = std::move(retired)]() mutable { retired.reset(); });
    layout = result.layout;
    collations = result.collations;
    rows = result.rows;
    mediaValues = result.mediaValues;
    lengths = result.lengths;
    summaries = result.summaries;
    rowById = result.rowById;
    shown = result.query;
    rowsHeld = true;
    projectTotal = result.projectTotal;
    if (!result.projectName.isEmpty())
        project = result.projectName;
    endResetModel();
    setReading(false);
    if (newColumns)
        emit columnsReady();
    if (!result.mediaHint.isEmpty())
        emit notice(result.mediaHint); // once: the check runs with the first read
    if (result.status.reconnected)
        emit reconnected();
    emit selected(true);
}

void ShotTableModel::applyOrder(const QList<int> &order, const QHash<qlonglong, int> &byId, const ShotQuery &query)
{
    emit aboutToSelect();
    beginResetModel();
    auto retired = std::make_shared<Retired>();
    retired->rowById.swap(rowById);
    rows = ShotOrder::inOrder(rows, order);
    mediaValues = ShotOrder::inOrder(mediaValues, order);
    lengths = ShotOrder::inOrder(lengths, order);
    summaries = ShotOrder::inOrder(summaries, order);
    rowById = byId;
    QThreadPool::globalInstance()->start([retired = std::move(retired)]() mutable { retired.reset(); });
    // A narrowed find keeps the order it was read in; the rows then answer
    // the new question as a read would.
    shown = query;
    endResetModel();
    setReading(false);
    emit selected(true);
}

void ShotTableModel::emitRowsChanged(const QList<int> &changedRows)
{
    if (changedRows.isEmpty() || layout.columns.isEmpty())
        return;
    // One signal for the lot: a bulk edit of thousands of shots updates
    // the views once per chunk, not once per row.
    const auto [low, high] = std::minmax_element(changedRows.cbegin(), changedRows.cend());
    emit dataChanged(index(*low, 0), index(*high, int(layout.columns.size()) - 1));
}

void ShotTableModel::showDrafts(const QList<qlonglong> &shots)
{
    QList<int> changedRows;
    for (qlonglong shot : shots) {
        const int row = rowById.value(shot, -1);
        if (row >= 0)
            changedRows << row;
    }
    emitRowsChanged(changedRows);
}

void ShotTableModel::storeValues(const QHash<qlonglong, QHash<QString, QVariant>> &values)
{
    QList<int> changedRows;
    for (auto shot = values.cbegin(); shot != values.cend(); ++shot) {
        const int row = rowById.value(shot.key(), -1);
        if (row < 0)
            continue;
        ShotRow &stored = rows[row];
        for (auto field = shot->cbegin(); field != shot->cend(); ++field) {
            const int column = fieldIndex(field.key());
            if (column >= 0 && column < stored.count())
                stored.setValue(column, ShotReader::normalised(field.value()));
        }
        changedRows << row;
    }
    emitRowsChanged(changedRows);
    offerValues(values);
}

void ShotTableModel::offerValues(const QHash<qlonglong, QHash<QString, QVariant>> &values)
{
    // What a save stored (this window's, or another client's read back with
    // a row) is offered at once, not after the next read of the values
    // used; one no shot holds any more may stay until then.
    bool added = false;
    for (const QString &column : ShotColumns::completed()) {
        QStringList fresh;
        for (auto shot = values.cbegin(); shot != values.cend(); ++shot) {
            const auto field = shot->constFind(column);
            if (field == shot->cend())
                continue;
            // A shot of this project: one shown, or a row read that says so.
            const QVariant project = shot->value(QStringLiteral("project"));
            if (!rowById.contains(shot.key()) && !(project.isValid() && project.toInt() == wanted.project))
                continue;
            const QString value = PlainText::fromStored(field->toString());
            if (!value.isEmpty() && !fresh.contains(value))
                fresh << value;
        }
        QStringList &list = valuesUsed[column];
        for (const QString &value : std::as_const(fresh)) {
            const bool known = std::any_of(list.cbegin(), list.cend(), [&value](const QString &held) {
                return held.compare(value, Qt::CaseInsensitive) == 0;
            });
            if (known)
                continue;
            const auto at = std::lower_bound(list.begin(), list.end(), value, [](const QString &a, const QString &b) {
                return a.compare(b, Qt::CaseInsensitive) < 0;
            });
            list.insert(at, value);
            added = true;
        }
    }
    if (added)
        emit completionsRead();
}

int ShotTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int ShotTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(layout.columns.size());
}

bool ShotTableModel::isReadOnlyColumn(int column) const
{
    return isMediaColumn(column) || ShotColumns::isReadOnly(columnName(column));
}

QVariant ShotTableModel::editBase(int row, int column) const
{
    const ShotEdits::Draft *draft = shotEdits->draft(shotOfRow(row), columnName(column));
    return draft && draft->state != ShotEdits::State::Conflict ? draft->read : storedValue(row, column);
}

QVariant ShotTableModel::storedValue(int row, int column) const
{
    if (row < 0 || row >= rows.size())
        return QVariant();
    return rows.at(row).value(column);
}

QVariant ShotTableModel::idOfRow(int row) const
{
    return storedValue(row, fieldIndex(QStringLiteral("id")));
}

qlonglong ShotTableModel::shotOfRow(int row) const
{
    return idOfRow(row).toLongLong();
}

int ShotTableModel::rowOfId(const QVariant &id) const
{
    if (id.isNull() || !id.isValid())
        return -1;
    return rowById.value(id.toLongLong(), -1);
}

QVariant ShotTableModel::shownValue(int row, int column) const
{
    if (const ShotEdits::Draft *draft = shotEdits->draft(shotOfRow(row), columnName(column))) {
        // A conflict shows what is stored; the user's value waits in the bar.
        if (draft->state != ShotEdits::State::Conflict)
            return draft->typed;
    }
    const QVariant value = storedValue(row, column);
    // Values an earlier client stored as a rich-text document show as the
    // text they hold, in the grid, its editors and the form.
    if (isPlainTextColumn(column))
        return PlainText::fromStored(value);
    return value;
}

QVariant ShotTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size() || index.column() >= layout.columns.size())
        return QVariant();
    const int row = index.row();
    const int column = index.column();
    const ShotEdits::Draft *draft = nullptr;
    switch (role) {
    case Qt::DisplayRole: {
        if (isFlagColumn(column))
            return QVariant(); // the box says it all
        const QVariant value = shownValue(row, column);
        if (value.metaType().id() == QMetaType::QString) {
            bool cut = false;
            return oneLine(value.toString(), &cut);
        }
        return value;
    }
    case Qt::EditRole:
        return shownValue(row, column);
    case Qt::CheckStateRole: {
        if (!isFlagColumn(column))
            return QVariant();
        const QVariant flag = shownValue(row, column);
        if (flag.isNull() || !flag.isValid())
            return Qt::PartiallyChecked;
        return flag.toInt() != 0 ? Qt::Checked : Qt::Unchecked;
    }
    case StoredRole:
        return storedValue(row, column);
    case DraftStateRole:
        draft = shotEdits->draft(shotOfRow(row), columnName(column));
        return draft ? int(draft->state) : -1;
    case Qt::ToolTipRole: {
        draft = shotEdits->draft(shotOfRow(row), columnName(column));
        if (draft) {
            switch (draft->state) {
            case ShotEdits::State::Typing:
                return tr("Typed, not saved yet");
            case ShotEdits::State::Saving:
                return tr("Being saved");
            case ShotEdits::State::Unsaved:
                return tr("Not saved: %1").arg(draft->reason);
            case ShotEdits::State::Conflict:
                return tr("Another client stored this value after you read it; yours waits above the form");
            }
        }
        const QVariant value = shownValue(row, column);
        if (value.metaType().id() != QMetaType::QString)
            return QVariant();
        bool cut = false;
        oneLine(value.toString(), &cut);
        if (!cut)
            return QVariant();
        QString text = value.toString();
        if (text.size() > tooltipCharacters)
            text = text.left(tooltipCharacters) + tr("\u2026 (the whole text is in the form)");
        return text;
    }
    default:
        return QVariant();
    }
}

Qt::ItemFlags ShotTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (isFlagColumn(index.column()))
        return result | Qt::ItemIsUserCheckable;
    if (!isReadOnlyColumn(index.column()))
        result |= Qt::ItemIsEditable;
    return result;
}

bool ShotTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.row() >= rows.size())
        return false;
    const int row = index.row();
    const int column = index.column();
    const qlonglong shot = shotOfRow(row);
    const QString name = columnName(column);
    const ShotEdits::Draft *draft = shotEdits->draft(shot, name);
    const QVariant read = editBase(row, column);
    if (role == Qt::CheckStateRole && isFlagColumn(column)) {
        shotEdits->type(shot, name, read, value.toInt() == Qt::Checked ? 1 : 0);
        shotEdits->save({shot});
        return true;
    }
    if (role != Qt::EditRole && role != TypingRole)
        return false;
    if (isReadOnlyColumn(column))
        return false;
    // An editor opened on a NULL cell and left alone hands back its empty
    // value (0 for a number): that is no edit.
    if (role == Qt::EditRole && !draft && (read.isNull() || !read.isValid()) && value.isValid()
        && value == QVariant(value.metaType()))
        return true;
    shotEdits->type(shot, name, read, value);
    // A cell is saved when its editor closes; the form saves when the user
    // moves on.
    if (role == Qt::EditRole)
        shotEdits->save({shot});
    return true;
}

QVariant ShotTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical) {
        if (role == Qt::DisplayRole)
            return section + 1;
        return QVariant();
    }
    if (section < 0 || section >= layout.columns.size())
        return QVariant();
    const QString name = layout.columns.at(section);
    if (role == Qt::DisplayRole)
        return ShotColumns::label(name);
    if (role == Qt::ToolTipRole) {
        const QString what = ShotColumns::description(name);
        return what.isEmpty() ? name : tr("%1 (column %2)").arg(what, name);
    }
    return QVariant();
}

QList<ShotRow> ShotTableModel::shownRows() const
{
    return rows;
}

ShotExport exportOfShownShots(const ShotTableModel *model, const QList<int> &columns)
{
    ShotExport snapshot;
    snapshot.columns = columns;
    const bool wholeTable = columns.isEmpty();
    if (wholeTable) {
        for (int column = 0; column < model->columnCount(); ++column) {
            if (ShotColumns::isExported(model->columnName(column)))
                snapshot.columns << column;
        }
    }
    for (int column : std::as_const(snapshot.columns)) {
        snapshot.header << (wholeTable ? model->columnName(column) : ShotColumns::label(model->columnName(column)));
        snapshot.plainText << model->isPlainTextColumn(column);
    }
    // Shared, not copied: the rows stay as they are while the model reads new ones.
    snapshot.rows = model->shownRows();
    return snapshot;
}

Csv::Result ShotExport::write(const QString &path) const
{
    int next = 0;
    return Csv::write(path, header, [&](QStringList *fields) {
        if (next >= rows.size())
            return false;
        const ShotRow &row = rows.at(next++);
        fields->clear();
        for (int i = 0; i < columns.size(); ++i) {
            const QVariant value = row.value(columns.at(i));
            if (value.isNull() || !value.isValid())
                *fields << QString();
            else
                *fields << (plainText.at(i) ? PlainText::fromStored(value.toString()) : value.toString());
        }
        return true;
    }, byteOrderMark);
}

Csv::Result exportShownShots(const ShotTableModel *model, const QString &path)
{
    return exportOfShownShots(model).write(path);
}
