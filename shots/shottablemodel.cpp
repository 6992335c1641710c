#include "shots/shottablemodel.h"

#include "db/dbworker.h"
#include "db/mediastatements.h"
#include "db/statements.h"
#include "media/mediafacts.h"
#include "media/mediatables.h"
#include "shots/plaintext.h"
#include "shots/shotcolumns.h"
#include "shots/shotedits.h"
#include "shots/shotrow.h"
#include "shots/shotwriter.h"

#include <QCoreApplication>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <QSqlDriver>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>
#include <memory>

namespace {
// A cell shows one line of this many characters at most; the form and the
// tooltip show the rest. Laying out a note of many kilobytes in every
// repaint of the grid would stall the window.
constexpr int shownCharacters = 200;
constexpr int tooltipCharacters = 4000;

// The driver reports a TINYINT (the production flag) as a char, which has no
// editor and prints as a control character.
QVariant normalised(const QVariant &value)
{
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return value.isNull() ? QVariant(QMetaType::fromType<int>()) : QVariant(value.toInt());
    return value;
}

// The facts of a clip in one line, or why its media could not be read.
QString mediaSummaryOf(const MediaFacts &clip)
{
    if (!clip.problem.isEmpty())
        return QCoreApplication::translate("ShotTableModel", "The clip's media could not be read: %1").arg(clip.problem);
    QStringList parts;
    if (!clip.formatText().isEmpty())
        parts << clip.formatText();
    if (!clip.lengthText().isEmpty())
        parts << clip.lengthText();
    if (!clip.timecodeText().isEmpty())
        parts << QCoreApplication::translate("ShotTableModel", "TC %1").arg(clip.timecodeText());
    if (clip.hasRecorded())
        parts << QCoreApplication::translate("ShotTableModel", "recorded %1").arg(clip.recordedText());
    if (!clip.videoCodec.isEmpty())
        parts << clip.videoCodec + (clip.audioCodec.isEmpty() ? QString() : QStringLiteral("/") + clip.audioCodec);
    return parts.join(QStringLiteral(", "));
}

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
} // namespace

namespace {
struct Retired
{
    QList<ShotRow> rows;
    QList<qint64> lengths;
    QStringList summaries;
    QHash<qlonglong, int> rowById;
};
} // namespace

struct ShotTableModel::ReadResult
{
    StatementResult status;
    QStringList columns;
    int shotColumns = 0;
    bool media = false;
    QString mediaHint;
    QList<qint64> lengths;
    QStringList summaries;
    QHash<qlonglong, int> rowById;
    QHash<QString, int> limits;
    QList<ShotRow> rows;
    int projectTotal = -1;
    QString projectName;
    QString sortName;
    Qt::SortOrder order = Qt::AscendingOrder;
};

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

void ShotTableModel::setFilter(const QString &filter)
{
    if (filter == rowFilter)
        return;
    rowFilter = filter;
    select();
}

void ShotTableModel::setSort(int column, Qt::SortOrder sortOrder)
{
    sortBy = column;
    sortByName = column == 0 && columns.isEmpty() ? QStringLiteral("id") : columnName(column);
    order = sortOrder;
}

void ShotTableModel::setSortName(const QString &column, Qt::SortOrder sortOrder)
{
    sortByName = column;
    sortBy = fieldIndex(column);
    order = sortOrder;
}

void ShotTableModel::sort(int column, Qt::SortOrder sortOrder)
{
    setSort(column, sortOrder);
    // Switching on header sorting asks for the order the rows already have
    // (or are being read in); reading a large project again gains nothing.
    if (sortByName == issuedSortName && sortOrder == issuedOrder)
        return;
    select();
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
    // Asked for now, read from the event loop: what is asked in one go (a
    // new grid's filter, sort and place) becomes one read.
    setReading(true);
    issuedSortName = sortByName;
    issuedOrder = order;
    if (!readDue) {
        readDue = true;
        QTimer::singleShot(0, this, [this]() {
            readDue = false;
            startRead();
        });
    }
    return true;
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
    const QString filter = rowFilter;
    const QString sortColumn = sortByName;
    const Qt::SortOrder sortOrder = order;
    const int project = projectId;
    const bool knowColumns = !columns.isEmpty();
    // Whether to join the media facts is learnt once, with the columns.
    const bool withMedia = media;
    const QString orderExpression = sortColumn.isEmpty() ? QString() : sortExpression(sortColumn);
    issuedSortName = sortColumn;
    issuedOrder = sortOrder;
    readTicket = worker->post(
        this,
        [=](DbSession &session) -> DbWorker::Continuation {
            ReadResult result;
            StatementRunner runner = session.runner();
            QSqlDriver *driver = runner.database().driver();
            auto quoted = [driver](const QString &name, QSqlDriver::IdentifierType type) {
                return driver ? driver->escapeIdentifier(name, type) : name;
            };
            QSqlQuery query(runner.database());
            bool joinMedia = withMedia;
            if (!knowColumns) {
                const MediaTables::State tables = MediaTables::check(runner);
                joinMedia = result.media = tables.available();
                result.mediaHint = MediaTables::enableHint(tables);
                // The declared lengths, so editors refuse what a column cannot hold.
                if (runner.run(query,
                               QStringLiteral("Select column_name, character_maximum_length From "
                                              "information_schema.columns Where table_schema = DATABASE() "
                                              "And table_name = ?"),
                               {table})
                        .ok()) {
                    while (query.next()) {
                        if (!query.value(1).isNull())
                            result.limits.insert(query.value(0).toString(), query.value(1).toInt());
                    }
                }
            }
            // With the media tables, the facts are joined to the rows only
            // when the server must sort or find by them; else they are read
            // apart, for the shots that have any (cheaper for a large
            // project whose clips were not all read).
            const bool mediaTables = joinMedia;
            joinMedia = mediaTables && (!orderExpression.isEmpty() || filter.contains(QLatin1String("m.")));
            const QString shots = quoted(table, QSqlDriver::TableName);
            QString statement = joinMedia ? QStringLiteral("SELECT %1.*, %2 FROM %1 %3")
                                                .arg(shots, QString::fromLatin1(Sql::mediaFactsColumns),
                                                     QString::fromLatin1(Sql::shotMediaJoin))
                                          : QStringLiteral("SELECT %1.* FROM %1").arg(shots);
            if (!filter.isEmpty())
                statement += QStringLiteral(" WHERE ") + filter;
            // The sort column is known by position only once the columns
            // are; the first read sorts by the first column, the key.
            const QString orderBy = sortColumn;
            const QString direction = sortOrder == Qt::AscendingOrder ? QStringLiteral(" ASC") : QStringLiteral(" DESC");
            if (!orderExpression.isEmpty() && joinMedia)
                statement += QStringLiteral(" ORDER BY ") + orderExpression.split(QLatin1Char(',')).join(direction + QLatin1Char(','))
                    + direction;
            else if (!orderBy.isEmpty() && !mediaColumnNames().contains(orderBy))
                statement += QStringLiteral(" ORDER BY %1.%2%3")
                                 .arg(shots, quoted(orderBy, QSqlDriver::FieldName), direction);
            result.status = runner.run(query, statement);
            if (result.status.ok()) {
                const QSqlRecord record = query.record();
                // The media facts come last: Sql::mediaFactsColumns.
                const int mediaFields = joinMedia ? 13 : 0;
                const int count = record.count() - mediaFields;
                for (int i = 0; i < count; ++i)
                    result.columns << record.fieldName(i);
                result.shotColumns = count;
                QSqlRecord facts;
                for (int i = count; i < record.count(); ++i)
                    facts.append(record.field(i));
                if (mediaTables)
                    result.columns += mediaColumnNames();
                while (query.next()) {
                    ShotRow row;
                    for (int i = 0; i < count; ++i)
                        row.append(normalised(query.value(i)));
                    if (mediaTables && !joinMedia) {
                        for (int i = 0; i < 5; ++i)
                            row.append(QVariant());
                        result.lengths << -1;
                        result.summaries << QString();
                    } else if (joinMedia) {
                        // A content the sync read has its length or size, or a problem.
                        const bool known = !query.isNull(count) || !query.isNull(count + 1)
                            || !query.isNull(count + mediaFields - 1);
                        if (!known) {
                            // Not read (yet): no facts to work out.
                            for (int i = 0; i < 5; ++i)
                                row.append(QVariant());
                            result.lengths << -1;
                            result.summaries << QString();
                            result.rows << row;
                            continue;
                        }
                        for (int i = 0; i < mediaFields; ++i)
                            facts.setValue(i, query.value(count + i));
                        const MediaFacts clip = MediaFacts::fromRecord(facts);
                        // A clip not readable as video says why in its row.
                        const QString format = clip.problem.isEmpty() ? clip.formatText() : clip.problem;
                        for (const QVariant &value : {QVariant(), QVariant(clip.recordedText()),
                                                      QVariant(clip.timecodeText()), QVariant(clip.lengthText()),
                                                      QVariant(format)})
                            row.append(value);
                        result.lengths << clip.durationMs;
                        result.summaries << mediaSummaryOf(clip);
                    }
                    result.rows << row;
                }
                if (session.isCancelled())
                    result.status = runner.stopReason();
                // Which row holds which shot, worked out here rather than
                // on the GUI thread.
                const int idColumn = int(result.columns.indexOf(QStringLiteral("id")));
                result.rowById.reserve(result.rows.size());
                for (int i = 0; i < result.rows.size(); ++i)
                    result.rowById.insert(result.rows.at(i).value(idColumn).toLongLong(), i);
                if (mediaTables && !joinMedia && project > 0
                    && runner.run(query,
                                  QStringLiteral("Select s.id, %1 From shot_media m Join %2 s On m.MD5 = s.MD5 And "
                                                 "m.SHA1 = s.SHA1 Where s.project = ?")
                                      .arg(QString::fromLatin1(Sql::mediaFactsColumns), shots),
                                  {project})
                           .ok()) {
                    const QSqlRecord record = query.record();
                    QSqlRecord facts;
                    for (int i = 1; i < record.count(); ++i)
                        facts.append(record.field(i));
                    while (query.next()) {
                        const int row = result.rowById.value(query.value(0).toLongLong(), -1);
                        if (row < 0)
                            continue;
                        for (int i = 1; i < record.count(); ++i)
                            facts.setValue(i - 1, query.value(i));
                        const MediaFacts clip = MediaFacts::fromRecord(facts);
                        ShotRow &shot = result.rows[row];
                        const QString format = clip.problem.isEmpty() ? clip.formatText() : clip.problem;
                        shot.setValue(count + 1, clip.recordedText());
                        shot.setValue(count + 2, clip.timecodeText());
                        shot.setValue(count + 3, clip.lengthText());
                        shot.setValue(count + 4, format);
                        result.lengths[row] = clip.durationMs;
                        result.summaries[row] = mediaSummaryOf(clip);
                    }
                }
                result.sortName = orderBy;
                result.order = sortOrder;
                if (project > 0 && runner.run(query, QString::fromLatin1(Sql::countProjectShots), {project}).ok()
                    && query.next())
                    result.projectTotal = query.value(0).toInt();
                if (project > 0 && runner.run(query, QString::fromLatin1(Sql::findProjectName), {project}).ok()
                    && query.next())
                    result.projectName = query.value(1).toString();
            }
            return [this, result, mine]() { applyRead(result, mine); };
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
        [this, table, shot](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            QSqlDriver *driver = runner.database().driver();
            QSqlQuery query(runner.database());
            const StatementResult read = runner.run(
                query, QStringLiteral("SELECT * FROM %1 WHERE id = ?")
                           .arg(driver ? driver->escapeIdentifier(table, QSqlDriver::TableName) : table),
                {shot});
            StoredValues values;
            if (read.ok() && query.next()) {
                const QSqlRecord record = query.record();
                for (int i = 0; i < record.count(); ++i)
                    values[shot].insert(record.fieldName(i), query.value(i));
            }
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
    if (projectId <= 0 || table.isEmpty())
        return;
    const int projectNumber = projectId;
    worker->post(
        this,
        [this, projectNumber](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            QSqlQuery query(runner.database());
            QHash<QString, QStringList> values;
            for (const QString &column : {QStringLiteral("location"), QStringLiteral("scene"),
                                          QStringLiteral("shottype")}) {
                // The column name is one of these three, never typed text.
                if (!runner.run(query,
                                QStringLiteral("Select Distinct %1 From shots Where project = ? And %1 <> '' "
                                               "Order By %1")
                                    .arg(column),
                                {projectNumber})
                         .ok())
                    return {};
                QStringList list;
                QSet<QString> seen;
                while (query.next()) {
                    const QString value = PlainText::fromStored(query.value(0).toString());
                    if (!value.isEmpty() && !seen.contains(value)) {
                        seen.insert(value);
                        list << value;
                    }
                }
                values.insert(column, list);
            }
            return [this, values]() {
                valuesUsed = values;
                emit completionsRead();
            };
        },
        tr("Reading the values used in the project"));
}

void ShotTableModel::applyRead(const ReadResult &result, quint64 readGeneration)
{
    // A newer read is on its way, or asked for and about to start: these
    // rows are older than what the user asked for, and the model stays busy
    // until the newer ones are in.
    if (readGeneration != generation || readDue)
        return;
    readTicket = 0;
    appliedGeneration = readGeneration;
    if (!result.status.ok()) {
        setReading(false);
        if (result.status.failure != StatementFailure::Cancelled)
            emit saveFailed(tr("The shots could not be read: %1").arg(result.status.error));
        emit selected(false);
        return;
    }
    emit aboutToSelect();
    const bool newColumns = result.columns != columns;
    beginResetModel();
    // The rows read before are freed on another thread: a hundred thousand
    // of them take a tenth of a second to free.
    auto retired = std::make_shared<Retired>();
    retired->rows.swap(rows);
    retired->lengths.swap(lengths);
    retired->summaries.swap(summaries);
    retired->rowById.swap(rowById);
    QThreadPool::globalInstance()->start([retired = std::move(retired)]() mutable { retired.reset(); });
    lengths = result.lengths;
    summaries = result.summaries;
    if (newColumns) {
        columns = result.columns;
        shotColumns = result.shotColumns;
        media = shotColumns < columns.size();
        if (!result.limits.isEmpty())
            limits = result.limits;
    }
    rows = result.rows;
    rowById = result.rowById;
    sortName = result.sortName;
    readOrder = result.order;
    sortBy = fieldIndex(sortByName);
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

void ShotTableModel::emitRowsChanged(const QList<int> &changedRows)
{
    if (changedRows.isEmpty() || columns.isEmpty())
        return;
    // One signal for the lot: a bulk edit of thousands of shots updates
    // the views once per chunk, not once per row.
    const auto [low, high] = std::minmax_element(changedRows.cbegin(), changedRows.cend());
    emit dataChanged(index(*low, 0), index(*high, int(columns.size()) - 1));
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
                stored.setValue(column, normalised(field.value()));
        }
        changedRows << row;
    }
    emitRowsChanged(changedRows);
}

int ShotTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int ShotTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(columns.size());
}

bool ShotTableModel::isPlainTextColumn(int column) const
{
    const QString name = columnName(column);
    return name == QLatin1String("location") || name == QLatin1String("shottype") || name == QLatin1String("notes");
}

QStringList ShotTableModel::mediaColumnNames()
{
    return {QStringLiteral("poster"), QStringLiteral("recorded"), QStringLiteral("tc_in"), QStringLiteral("length"),
            QStringLiteral("format")};
}

QString ShotTableModel::sortExpression(const QString &column) const
{
    if (column == QLatin1String("poster") || column == QLatin1String("length"))
        return QStringLiteral("m.duration_ms");
    if (column == QLatin1String("recorded"))
        return QStringLiteral("m.recorded_at");
    if (column == QLatin1String("tc_in"))
        return QStringLiteral("m.start_timecode");
    if (column == QLatin1String("format"))
        return QStringLiteral("m.problem,m.width,m.height,m.frame_rate");
    return QString();
}

QString ShotTableModel::mediaSummary(int row) const
{
    return summaries.value(row);
}

bool ShotTableModel::isReadOnlyColumn(int column) const
{
    if (isMediaColumn(column))
        return true;
    static const QStringList readOnly = {QStringLiteral("id"), QStringLiteral("project"), QStringLiteral("filename"),
                                         QStringLiteral("MD5"), QStringLiteral("SHA1")};
    return readOnly.contains(columnName(column));
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
    if (!index.isValid() || index.row() >= rows.size() || index.column() >= columns.size())
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
    // A save is checked against the value the user started from.
    const QVariant read = draft && draft->state != ShotEdits::State::Conflict ? draft->read : storedValue(row, column);
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
    if (section < 0 || section >= columns.size())
        return QVariant();
    const QString name = columns.at(section);
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
            if (model->columnName(column) != QLatin1String("poster"))
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
