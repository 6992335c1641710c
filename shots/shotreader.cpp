#include "shots/shotreader.h"

#include "db/mediastatements.h"
#include "db/statements.h"
#include "media/mediafacts.h"
#include "media/mediatables.h"
#include "shots/quicktags.h"
#include "shots/plaintext.h"
#include "shots/shotcolumns.h"
#include "shots/shotorder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QSet>

#include <algorithm>
#include <QSqlDriver>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

#include <map>

namespace {

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

// What a media column shows for a clip's facts.
QVariant mediaShown(const QString &column, const MediaFacts &clip)
{
    if (column == QLatin1String("recorded"))
        return clip.recordedText();
    if (column == QLatin1String("tc_in"))
        return clip.timecodeText();
    if (column == QLatin1String("length"))
        return clip.lengthText();
    if (column == QLatin1String("format"))
        return clip.problem.isEmpty() ? clip.formatText() : clip.problem; // a clip not readable says why
    return QVariant(); // the poster is painted, not a value
}

// How the find searches a media column, as the server computes it.
QStringList mediaSearched(const QString &column)
{
    if (column == QLatin1String("recorded"))
        return {QStringLiteral("Cast(m.recorded_at As Char)")};
    if (column == QLatin1String("tc_in"))
        return {QStringLiteral("m.start_timecode")};
    if (column == QLatin1String("format"))
        return {QStringLiteral("Concat(m.width, 'x', m.height)"), QStringLiteral("m.problem")};
    return {};
}

// A content the sync read has its length or size, or a problem.
bool factsKnown(const QSqlRecord &facts)
{
    for (const char *name : {"duration_ms", "width", "problem"}) {
        if (!facts.isNull(QLatin1String(name)))
            return true;
    }
    return false;
}

} // namespace

// The characters of the rows read, gathered while they are read, for the
// weights of those their collations do not know yet: each text column's
// own collation (what ORDER BY compares) and the find's for the columns it
// searches (what LIKE compares).
class ShotReader::CharacterScan
{
public:
    explicit CharacterScan(ShotRows &result)
        : result(result)
    {
        const ShotLayout &layout = result.layout;
        const QStringList searched = ShotColumns::searched();
        columns.resize(layout.shotColumns);
        for (int column = 0; column < layout.shotColumns; ++column) {
            const QString name = layout.columns.at(column);
            if (layout.isText(name))
                add(&columns[column], layout.collations.value(name));
            if (searched.contains(name))
                add(&columns[column], findCollation());
        }
        const QStringList facts = mediaValueNames();
        factUses.resize(facts.size());
        for (int i = 0; layout.media && i < facts.size(); ++i) {
            const QString key = QStringLiteral("shot_media.") + facts.at(i);
            if (layout.isText(key))
                add(&factUses[i], layout.collations.value(key));
            add(&factUses[i], findCollation());
        }
        // Every collation is in the hashes now: pointers into them stay valid.
        resolve(columns);
        resolve(factUses);
    }

    void column(int column, const QVariant &value) { scan(columns, column, value); }
    void fact(int fact, const QVariant &value) { scan(factUses, fact, value); }

    void learn(StatementRunner &runner)
    {
        // Also what a word typed into the find most often holds, whether the
        // rows hold it or not: the Latin letters with their accents, digits
        // and signs (a typed character not known leaves the find to the server).
        if (unknown.contains(findCollation())) {
            const ServerCollation &find = result.collations[findCollation()];
            for (char16_t c = 0x20; c < 0x180; ++c) {
                if (c < 0x7f || c >= 0xa0)
                    find.addUnknown(QStringView(&c, 1), &unknown[findCollation()]);
            }
        }
        for (auto it = unknown.begin(); it != unknown.end();) {
            if (it.value().isEmpty() && result.collations.value(it.key()).knows(QString()))
                it = unknown.erase(it);
            else
                ++it;
        }
        if (!unknown.isEmpty())
            learnWeights(runner, &result.collations, unknown);
    }

private:
    struct Use
    {
        QStringList names; // its collations
        QList<const ServerCollation *> collations;
        QList<QSet<char32_t> *> missing;
        QList<std::vector<bool> *> noted;
    };

    void add(Use *use, const QString &collation)
    {
        if (!ServerCollation::isDecomposable(collation) || use->names.contains(collation))
            return;
        use->names << collation;
        if (!result.collations.contains(collation))
            result.collations.insert(collation, ServerCollation(collation));
        unknown[collation];
    }

    void resolve(QList<Use> &uses)
    {
        for (Use &use : uses) {
            for (const QString &name : std::as_const(use.names)) {
                use.collations << &result.collations[name];
                use.missing << &unknown[name];
                std::vector<bool> &flags = noted[name];
                if (flags.empty())
                    flags.resize(0x10000);
                use.noted << &flags;
            }
        }
    }

    static void scan(const QList<Use> &uses, int index, const QVariant &value)
    {
        if (index < 0 || index >= uses.size() || value.isNull())
            return;
        const Use &use = uses.at(index);
        // The driver hands a column of a binary collation (the file name)
        // over as bytes: UTF-8, as it was stored.
        const int type = value.metaType().id();
        if (use.collations.isEmpty() || (type != QMetaType::QString && type != QMetaType::QByteArray))
            return;
        const QString text = value.toString();
        for (int i = 0; i < use.collations.size(); ++i)
            use.collations.at(i)->addUnknown(text, use.missing.at(i), use.noted.at(i));
    }

    ShotRows &result;
    QList<Use> columns;
    QList<Use> factUses;
    QHash<QString, QSet<char32_t>> unknown;
    std::map<QString, std::vector<bool>> noted; // by collation; its elements never move
};

QVariant ShotReader::normalised(const QVariant &value)
{
    const int type = value.metaType().id();
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return value.isNull() ? QVariant(QMetaType::fromType<int>()) : QVariant(value.toInt());
    return value;
}

QStringList ShotReader::mediaValueNames()
{
    return {QStringLiteral("duration_ms"), QStringLiteral("recorded_at"), QStringLiteral("start_timecode"),
            QStringLiteral("problem"),     QStringLiteral("width"),       QStringLiteral("height"),
            QStringLiteral("frame_rate")};
}

ShotReader::ShotReader(StatementRunner &runner, const QString &table)
    : runner(runner)
    , table(table)
{
}

QString ShotReader::quoted(const QString &name) const
{
    const QSqlDriver *driver = runner.database().driver();
    return driver ? driver->escapeIdentifier(name, QSqlDriver::FieldName) : name;
}

ShotReader::Statement ShotReader::rowsStatement(const QString &table, const ShotQuery &query, const ShotLayout &layout,
                                                const std::function<QString(const QString &)> &quoted)
{
    Statement statement;
    const QString shots = quoted(table);
    const QStringList words = query.words();
    // Column names come from the table the server reported (or, before it
    // has, from those this client knows), never from what was typed.
    auto known = [&layout](const QString &column) {
        if (ShotColumns::isTags(column))
            return layout.tags;
        return layout.isValid() ? layout.columns.contains(column) : ShotColumns::find(column) != nullptr;
    };
    const QString tags = tagsExpression(QStringLiteral("%1.%2").arg(shots, quoted(QStringLiteral("id"))));
    // A column as the server computes it: the tags come from their table.
    auto expression = [&](const QString &column) { return ShotColumns::isTags(column) ? tags : quoted(column); };
    QString sortColumn = known(query.sortColumn) ? query.sortColumn : QStringLiteral("id");
    const bool sortsByMedia = ShotColumns::isMedia(sortColumn);
    if (sortsByMedia && !layout.media)
        sortColumn = QStringLiteral("id");
    // The facts are joined only when the server must sort or find by them;
    // otherwise they are read apart, for the shots that have any.
    statement.joinsMedia = layout.media && (sortsByMedia || !words.isEmpty());

    statement.readsTags = layout.tags && (ShotColumns::isTags(sortColumn) || !words.isEmpty());
    const QString tagsRead = statement.readsTags
        ? QStringLiteral(", %1 AS %2").arg(tags, quoted(QLatin1String(ShotColumns::tagsColumn)))
        : QString();
    statement.text = statement.joinsMedia ? QStringLiteral("SELECT %1.*%4, %2 FROM %1 %3")
                                                .arg(shots, QString::fromLatin1(Sql::mediaFactsColumns),
                                                     QString::fromLatin1(Sql::shotMediaJoin), tagsRead)
                                          : QStringLiteral("SELECT %1.*%2 FROM %1").arg(shots, tagsRead);
    statement.text += QStringLiteral(" WHERE %1.%2 = ?").arg(shots, quoted(QStringLiteral("project")));
    statement.values << query.project;
    if (!words.isEmpty()) {
        // Every searched column as one text per row. The line break between
        // them is never part of a word (words are split at white space), so
        // a word never matches across two columns. The file name's bytes are
        // compared as the other columns' text is: in any case.
        QStringList parts;
        for (const QString &column : ShotColumns::searched()) {
            if (!known(column))
                continue;
            parts << (parts.isEmpty() ? QStringLiteral("CONVERT(%1 USING utf8mb4) COLLATE %2")
                                            .arg(expression(column), ShotReader::findCollation())
                                      : expression(column));
        }
        if (statement.joinsMedia) {
            for (const QString &column : ShotColumns::media()) {
                const ShotColumns::Column *info = ShotColumns::find(column);
                if (info && info->searched)
                    parts += mediaSearched(column);
            }
        }
        const QString text = QStringLiteral("CONCAT_WS('\\n', %1)").arg(parts.join(QStringLiteral(", ")));
        for (const QString &word : words) {
            statement.text += QStringLiteral(" AND %1 LIKE ?").arg(text);
            statement.values << containsPattern(word);
        }
    }
    if (query.notYetLogged) {
        for (const QString &column : ShotColumns::logged())
            statement.text += QStringLiteral(" AND COALESCE(%1, '') = ''").arg(quoted(column));
    }

    // Rows that compare equal keep the order of their ids, so the order is
    // the same every time (and the same the grid gives when it sorts the
    // rows it holds).
    const QString direction = query.order == Qt::AscendingOrder ? QStringLiteral(" ASC") : QStringLiteral(" DESC");
    const QString byId = QStringLiteral("%1.%2 ASC").arg(shots, quoted(QStringLiteral("id")));
    QStringList order;
    if (sortsByMedia) {
        for (const QString &fact : ShotColumns::mediaFacts(sortColumn))
            order << QStringLiteral("m.%1%2").arg(quoted(fact), direction);
    } else if (ShotColumns::isTags(sortColumn)) {
        order << quoted(sortColumn) + direction;
    } else if (sortColumn != QLatin1String("id")) {
        order << QStringLiteral("%1.%2%3").arg(shots, quoted(sortColumn), direction);
    }
    order << (sortColumn == QLatin1String("id") ? QStringLiteral("%1.%2%3").arg(shots, quoted(QStringLiteral("id")), direction)
                                                : byId);
    statement.text += QStringLiteral(" ORDER BY ") + order.join(QStringLiteral(", "));
    return statement;
}

StatementResult ShotReader::learnLayout(ShotLayout *layout, QString *mediaHint)
{
    const MediaTables::State tables = MediaTables::check(runner);
    layout->media = tables.available();
    *mediaHint = MediaTables::enableHint(tables);

    // What each column holds and how the server compares it. Without the
    // right to read this, editors take any length and the server sorts.
    QSqlQuery query(runner.database());
    const QString columns = QStringLiteral(
        "Select table_name, column_name, character_maximum_length, data_type, collation_name From "
        "information_schema.columns Where table_schema = DATABASE() And table_name In (?, ?, ?, ?) "
        "Order By table_name, ordinal_position");
    const StatementResult read =
        runner.run(query, columns,
                   {table, QString::fromLatin1(Sql::shotMediaTable), QString::fromLatin1(Sql::shotTagsTable),
                    QString::fromLatin1(Sql::projectTagsTable)});
    if (!read.ok())
        return read.failure == StatementFailure::Refused ? StatementResult::success() : read;
    layout->columns.clear();
    // The quick tags are on when both their tables show every column used
    // (the catalogue lists only what this user may use).
    QSet<QString> tagColumns;
    const QString tagsKey = QLatin1String(ShotColumns::tagsColumn);
    while (query.next()) {
        const QString tableName = query.value(0).toString();
        if (tableName == QLatin1String(Sql::shotTagsTable) || tableName == QLatin1String(Sql::projectTagsTable)) {
            tagColumns.insert(tableName + QLatin1Char('.') + query.value(1).toString());
            if (tableName == QLatin1String(Sql::shotTagsTable) && query.value(1).toString() == QLatin1String("tag")) {
                // What the server makes of a shot's tags compares as this column does.
                layout->types.insert(tagsKey, query.value(3).toString().toLower());
                if (!query.value(4).isNull())
                    layout->collations.insert(tagsKey, query.value(4).toString());
            }
            continue;
        }
        const bool media = tableName == QLatin1String(Sql::shotMediaTable);
        const QString key = (media ? QStringLiteral("shot_media.") : QString()) + query.value(1).toString();
        // The columns in the table's order, as SELECT * gives them: known
        // before the first rows, so the first read can be sorted here too.
        if (!media)
            layout->columns << key;
        if (!query.value(2).isNull() && !media)
            layout->limits.insert(key, query.value(2).toInt());
        layout->types.insert(key, query.value(3).toString().toLower());
        if (!query.value(4).isNull())
            layout->collations.insert(key, query.value(4).toString());
    }
    const QStringList tagColumnsUsed = {QStringLiteral("shot_tags.shot_id"), QStringLiteral("shot_tags.tag"),
                                        QStringLiteral("project_tags.project_id"),
                                        QStringLiteral("project_tags.position"), QStringLiteral("project_tags.tag")};
    layout->tags = !layout->columns.isEmpty()
        && std::all_of(tagColumnsUsed.cbegin(), tagColumnsUsed.cend(),
                       [&tagColumns](const QString &column) { return tagColumns.contains(column); });
    if (layout->tags)
        layout->columns << tagsKey;
    layout->shotColumns = int(layout->columns.size());
    if (layout->media && layout->shotColumns > 0)
        layout->columns += ShotColumns::media();
    return StatementResult::success();
}

ShotRows ShotReader::read(const ShotQuery &query, const ShotLayout &known, const ServerCollations &collations)
{
    ShotRows result;
    result.query = query;
    result.layout = known;
    result.collations = collations;
    if (!known.isValid()) {
        result.status = learnLayout(&result.layout, &result.mediaHint);
        if (!result.status.ok())
            return result;
        result.layoutLearnt = true;
    }
    // Rows this client can compare as the server does are sorted here, once
    // read: the server then sends them by id, which costs it no sort of a
    // large project (so a restored order no longer holds the window up).
    const bool sortHere =
        query.sortColumn != QLatin1String("id") && ShotOrder::canSort(result.layout, query.sortColumn);
    if (!readRows(query, sortHere, &result) || !sortHere)
        return result;
    const ShotOrder::Held held{result.layout, result.rows, result.mediaValues, result.collations};
    const std::optional<QList<int>> order = ShotOrder::sorted(held, query.sortColumn, query.order);
    if (!order) {
        // A value the server weighs in a way this client cannot take apart:
        // the server sorts after all.
        ShotRows again;
        again.query = query;
        again.layout = result.layout;
        again.mediaHint = result.mediaHint;
        again.collations = result.collations;
        readRows(query, false, &again);
        return again;
    }
    result.rows = ShotOrder::inOrder(result.rows, *order);
    result.mediaValues = ShotOrder::inOrder(result.mediaValues, *order);
    result.lengths = ShotOrder::inOrder(result.lengths, *order);
    result.summaries = ShotOrder::inOrder(result.summaries, *order);
    // Every row is still there, at a new place: the ids' hash is moved along.
    QList<int> placeOf(order->size());
    for (int place = 0; place < order->size(); ++place)
        placeOf[order->at(place)] = place;
    for (auto it = result.rowById.begin(); it != result.rowById.end(); ++it)
        it.value() = placeOf.at(it.value());
    return result;
}

bool ShotReader::readRows(const ShotQuery &query, bool byId, ShotRows *out)
{
    ShotRows &result = *out;
    ShotLayout &layout = result.layout;
    ShotQuery asked = query;
    if (byId) {
        asked.sortColumn = QStringLiteral("id");
        asked.order = Qt::AscendingOrder;
    }
    const Statement statement =
        rowsStatement(table, asked, layout, [this](const QString &name) { return quoted(name); });
    QSqlQuery rows(runner.database());
    result.status = runner.run(rows, statement.text, statement.values);
    if (!result.status.ok())
        return false;

    const QSqlRecord record = rows.record();
    // The facts of a joined read follow the columns of shots, named as
    // their columns in shot_media.
    int count = record.count();
    if (statement.joinsMedia) {
        count = record.indexOf(QStringLiteral("duration_ms"));
        if (count < 0)
            count = record.count();
    }
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << record.fieldName(i);
    // Tags read apart have their column all the same, after the shots' own.
    const bool tagsApart = layout.tags && !statement.readsTags;
    const int ownColumns = count + (tagsApart ? 1 : 0);
    if (tagsApart)
        names << QLatin1String(ShotColumns::tagsColumn);
    if (!layout.isValid() || (result.layoutLearnt && names != layout.columns.mid(0, layout.shotColumns))) {
        // The rows say which columns there are, whatever the server's
        // catalogue said before them.
        layout.columns = names;
        layout.shotColumns = ownColumns;
        if (layout.media)
            layout.columns += ShotColumns::media();
    } else if (names != layout.columns.mid(0, layout.shotColumns)) {
        // The table changed under a window that is open: read it afresh.
        result.status.failure = StatementFailure::Refused;
        result.status.error = QStringLiteral("the table %1 changed its columns; open the project again").arg(table);
        return false;
    }
    CharacterScan scan(result);

    QSqlRecord facts;
    for (int i = count; i < record.count(); ++i)
        facts.append(record.field(i));
    const QStringList media = layout.media ? ShotColumns::media() : QStringList();
    const QStringList valueNames = mediaValueNames();
    ShotRow::Builder row;
    auto addFacts = [&](ShotRow::Builder &row, ShotRow &values, const QSqlRecord &clipFacts, int index) {
        if (!factsKnown(clipFacts)) {
            // Not read (yet): no facts to work out.
            for (int i = 0; i < media.size(); ++i)
                row.append(QVariant());
            return;
        }
        const MediaFacts clip = MediaFacts::fromRecord(clipFacts);
        for (const QString &column : media)
            row.append(mediaShown(column, clip));
        for (int i = 0; i < valueNames.size(); ++i) {
            const QVariant value = normalised(clipFacts.value(valueNames.at(i)));
            scan.fact(i, value);
            values.setValue(i, value);
        }
        result.lengths[index] = clip.durationMs;
        result.summaries[index] = mediaSummaryOf(clip);
    };
    const ShotRow noValues(QVariantList(valueNames.size(), QVariant()));
    while (rows.next()) {
        for (int i = 0; i < count; ++i) {
            const QVariant value = normalised(rows.value(i));
            scan.column(i, value);
            row.append(value);
        }
        if (tagsApart)
            row.append(QVariant(QMetaType::fromType<QString>()));
        const int index = int(result.rows.size());
        if (layout.media) {
            result.lengths << -1;
            result.summaries << QString();
            ShotRow values = noValues;
            if (statement.joinsMedia) {
                for (int i = count; i < record.count(); ++i)
                    facts.setValue(i - count, rows.value(i));
                addFacts(row, values, facts, index);
            } else {
                for (int i = 0; i < media.size(); ++i)
                    row.append(QVariant());
            }
            result.mediaValues << values;
        }
        result.rows << row.take();
    }
    if (runner.isCancelled()) {
        result.status = runner.stopReason();
        return false;
    }
    // Which row holds which shot, worked out here rather than on the GUI thread.
    const int idColumn = int(layout.columns.indexOf(QStringLiteral("id")));
    result.rowById.reserve(result.rows.size());
    for (int i = 0; i < result.rows.size(); ++i)
        result.rowById.insert(result.rows.at(i).value(idColumn).toLongLong(), i);

    if (tagsApart && query.project > 0) {
        const QString apart = QString::fromLatin1(Sql::tagsOfProjectShots)
                                  .arg(quoted(table), quoted(QStringLiteral("id")), quoted(QStringLiteral("project")));
        if (runner.run(rows, apart, {query.project}).ok()) {
            while (rows.next()) {
                const int index = result.rowById.value(rows.value(0).toLongLong(), -1);
                if (index < 0)
                    continue;
                const QVariant tags = normalised(rows.value(1));
                scan.column(count, tags);
                const ShotRow &held = result.rows.at(index);
                for (int i = 0; i < held.count(); ++i)
                    row.append(i == count ? tags : held.value(i));
                result.rows[index] = row.take();
            }
        }
    }
    if (layout.media && !statement.joinsMedia && query.project > 0) {
        const QString apart = QStringLiteral("Select s.%1 As shot_id, %2 From shot_media m Join %3 s On m.MD5 = s.MD5 "
                                             "And m.SHA1 = s.SHA1 Where s.%4 = ?")
                                  .arg(quoted(QStringLiteral("id")), QString::fromLatin1(Sql::mediaFactsColumns),
                                       quoted(table), quoted(QStringLiteral("project")));
        if (runner.run(rows, apart, {query.project}).ok()) {
            const QSqlRecord read = rows.record();
            QSqlRecord clipFacts;
            for (int i = 1; i < read.count(); ++i)
                clipFacts.append(read.field(i));
            while (rows.next()) {
                const int index = result.rowById.value(rows.value(0).toLongLong(), -1);
                if (index < 0)
                    continue;
                for (int i = 1; i < read.count(); ++i)
                    clipFacts.setValue(i - 1, rows.value(i));
                for (int i = 0; i < ownColumns; ++i)
                    row.append(result.rows.at(index).value(i));
                ShotRow values = noValues;
                addFacts(row, values, clipFacts, index);
                result.rows[index] = row.take();
                result.mediaValues[index] = values;
            }
        }
    }
    if (query.project > 0 && runner.run(rows, QString::fromLatin1(Sql::countProjectShots), {query.project}).ok()
        && rows.next())
        result.projectTotal = rows.value(0).toInt();
    if (query.project > 0 && runner.run(rows, QString::fromLatin1(Sql::findProjectName), {query.project}).ok()
        && rows.next())
        result.projectName = rows.value(1).toString();
    // What the server cannot weigh stays with the server: sorting and
    // finding by it ask it.
    scan.learn(runner);
    return true;
}

StatementResult ShotReader::readShot(qlonglong id, QHash<QString, QVariant> *values, bool tags)
{
    QSqlQuery query(runner.database());
    const QString shots = quoted(table);
    const QString idColumn = quoted(QStringLiteral("id"));
    const QString tagsRead =
        tags ? QStringLiteral(", %1 AS %2")
                   .arg(tagsExpression(shots + QLatin1Char('.') + idColumn), quoted(QLatin1String(ShotColumns::tagsColumn)))
             : QString();
    const StatementResult read =
        runner.run(query, QStringLiteral("SELECT %1.*%2 FROM %1 WHERE %3 = ?").arg(shots, tagsRead, idColumn), {id});
    if (read.ok() && query.next()) {
        const QSqlRecord record = query.record();
        for (int i = 0; i < record.count(); ++i)
            values->insert(record.fieldName(i), query.value(i));
    }
    return read;
}

QString ShotReader::tagsExpression(const QString &idColumn)
{
    return QString::fromLatin1(Sql::tagsOfShot).arg(idColumn);
}

StatementResult ShotReader::readProjectTags(int project, QStringList *tags)
{
    QSqlQuery query(runner.database());
    const StatementResult read = runner.run(query, QString::fromLatin1(Sql::tagsOfProject), {project});
    if (!read.ok())
        return read;
    tags->clear();
    while (query.next())
        *tags << query.value(0).toString();
    if (tags->isEmpty())
        *tags = QuickTags::defaults();
    return read;
}

StatementResult ShotReader::readCompletions(int project, QHash<QString, QStringList> *values)
{
    QSqlQuery query(runner.database());
    for (const QString &column : ShotColumns::completed()) {
        const QString name = quoted(column);
        const StatementResult read = runner.run(
            query,
            QStringLiteral("Select Distinct %1 From %2 Where %3 = ? And %1 <> '' Order By %1")
                .arg(name, quoted(table), quoted(QStringLiteral("project"))),
            {project});
        if (!read.ok())
            return read;
        QStringList list;
        QSet<QString> seen;
        while (query.next()) {
            const QString value = PlainText::fromStored(query.value(0).toString());
            if (!value.isEmpty() && !seen.contains(value)) {
                seen.insert(value);
                list << value;
            }
        }
        values->insert(column, list);
    }
    return StatementResult::success();
}
