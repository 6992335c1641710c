#include "shots/shotreader.h"

#include "db/mediastatements.h"
#include "db/statements.h"
#include "media/mediafacts.h"
#include "media/mediatables.h"
#include "shots/plaintext.h"
#include "shots/shotcolumns.h"

#include <QCoreApplication>
#include <QSet>
#include <QSqlDriver>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

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

// Whether the server's data type is text compared by a collation.
bool isTextType(const QString &type)
{
    return type.endsWith(QLatin1String("char")) || type.endsWith(QLatin1String("text"));
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
        return layout.isValid() ? layout.columns.contains(column) : ShotColumns::find(column) != nullptr;
    };
    QString sortColumn = known(query.sortColumn) ? query.sortColumn : QStringLiteral("id");
    const bool sortsByMedia = ShotColumns::isMedia(sortColumn);
    if (sortsByMedia && !layout.media)
        sortColumn = QStringLiteral("id");
    // The facts are joined only when the server must sort or find by them;
    // otherwise they are read apart, for the shots that have any.
    statement.joinsMedia = layout.media && (sortsByMedia || !words.isEmpty());

    statement.text = statement.joinsMedia ? QStringLiteral("SELECT %1.*, %2 FROM %1 %3")
                                                .arg(shots, QString::fromLatin1(Sql::mediaFactsColumns),
                                                     QString::fromLatin1(Sql::shotMediaJoin))
                                          : QStringLiteral("SELECT %1.* FROM %1").arg(shots);
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
                                            .arg(quoted(column), ShotReader::findCollation())
                                      : quoted(column));
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
    if (query.notYetLogged)
        statement.text += QStringLiteral(" AND COALESCE(%1, '') = '' AND COALESCE(%2, '') = '' AND COALESCE(%3, '') = ''")
                              .arg(quoted(QStringLiteral("scene")), quoted(QStringLiteral("shot")),
                                   quoted(QStringLiteral("notes")));

    // Rows that compare equal keep the order of their ids, so the order is
    // the same every time (and the same the grid gives when it sorts the
    // rows it holds).
    const QString direction = query.order == Qt::AscendingOrder ? QStringLiteral(" ASC") : QStringLiteral(" DESC");
    const QString byId = QStringLiteral("%1.%2 ASC").arg(shots, quoted(QStringLiteral("id")));
    QStringList order;
    if (sortsByMedia) {
        for (const QString &fact : ShotColumns::mediaFacts(sortColumn))
            order << QStringLiteral("m.%1%2").arg(quoted(fact), direction);
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
        "information_schema.columns Where table_schema = DATABASE() And table_name In (?, ?)");
    const StatementResult read =
        runner.run(query, columns, {table, QString::fromLatin1(Sql::shotMediaTable)});
    if (!read.ok())
        return read.failure == StatementFailure::Refused ? StatementResult::success() : read;
    while (query.next()) {
        const bool media = query.value(0).toString() == QLatin1String(Sql::shotMediaTable);
        const QString key = (media ? QStringLiteral("shot_media.") : QString()) + query.value(1).toString();
        if (!query.value(2).isNull() && !media)
            layout->limits.insert(key, query.value(2).toInt());
        layout->types.insert(key, query.value(3).toString().toLower());
        if (!query.value(4).isNull())
            layout->collations.insert(key, query.value(4).toString());
    }
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
    }
    ShotLayout &layout = result.layout;
    const Statement statement =
        rowsStatement(table, query, layout, [this](const QString &name) { return quoted(name); });
    QSqlQuery rows(runner.database());
    result.status = runner.run(rows, statement.text, statement.values);
    if (!result.status.ok())
        return result;

    const QSqlRecord record = rows.record();
    // The facts of a joined read follow the columns of shots, named as
    // their columns in shot_media.
    int count = record.count();
    if (statement.joinsMedia) {
        count = record.indexOf(QStringLiteral("duration_ms"));
        if (count < 0)
            count = record.count();
    }
    if (!known.isValid()) {
        for (int i = 0; i < count; ++i)
            layout.columns << record.fieldName(i);
        layout.shotColumns = count;
        if (layout.media)
            layout.columns += ShotColumns::media();
    } else if (count != layout.shotColumns) {
        // The table changed under a window that is open: read it afresh.
        result.status.failure = StatementFailure::Refused;
        result.status.error = QStringLiteral("the table %1 changed its columns; open the project again").arg(table);
        return result;
    }
    QSqlRecord facts;
    for (int i = count; i < record.count(); ++i)
        facts.append(record.field(i));
    const QStringList media = layout.media ? ShotColumns::media() : QStringList();
    const QStringList valueNames = mediaValueNames();
    auto addFacts = [&](ShotRow &row, ShotRow &values, const QSqlRecord &clipFacts, int index) {
        if (!factsKnown(clipFacts)) {
            // Not read (yet): no facts to work out.
            for (int i = 0; i < media.size(); ++i)
                row.append(QVariant());
            return;
        }
        const MediaFacts clip = MediaFacts::fromRecord(clipFacts);
        for (const QString &column : media)
            row.append(mediaShown(column, clip));
        for (int i = 0; i < valueNames.size(); ++i)
            values.setValue(i, normalised(clipFacts.value(valueNames.at(i))));
        result.lengths[index] = clip.durationMs;
        result.summaries[index] = mediaSummaryOf(clip);
    };
    const ShotRow noValues(QVariantList(valueNames.size(), QVariant()));
    while (rows.next()) {
        ShotRow row;
        for (int i = 0; i < count; ++i)
            row.append(normalised(rows.value(i)));
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
        result.rows << row;
    }
    if (runner.isCancelled()) {
        result.status = runner.stopReason();
        return result;
    }
    // Which row holds which shot, worked out here rather than on the GUI thread.
    const int idColumn = int(layout.columns.indexOf(QStringLiteral("id")));
    result.rowById.reserve(result.rows.size());
    for (int i = 0; i < result.rows.size(); ++i)
        result.rowById.insert(result.rows.at(i).value(idColumn).toLongLong(), i);

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
                ShotRow row;
                for (int i = 0; i < count; ++i)
                    row.append(result.rows.at(index).value(i));
                ShotRow values = noValues;
                addFacts(row, values, clipFacts, index);
                result.rows[index] = row;
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
    learnCollations(result);
    return result;
}

void ShotReader::learnCollations(ShotRows &result)
{
    const ShotLayout &layout = result.layout;
    // Each text column with the collation it is sorted in, and the find's
    // collation for the searched ones.
    struct Use
    {
        int column;      // in the rows, or in the media values when media
        bool media;
        QString collation;
    };
    QList<Use> uses;
    auto use = [&](int column, bool media, const QString &collation) {
        if (!ServerCollation::isDecomposable(collation))
            return;
        if (!result.collations.contains(collation))
            result.collations.insert(collation, ServerCollation(collation));
        uses << Use{column, media, collation};
    };
    const QStringList searched = ShotColumns::searched();
    for (int column = 0; column < layout.shotColumns; ++column) {
        const QString name = layout.columns.at(column);
        if (isTextType(layout.types.value(name)))
            use(column, false, layout.collations.value(name));
        if (searched.contains(name))
            use(column, false, findCollation());
    }
    const QStringList valueNames = mediaValueNames();
    for (int i = 0; layout.media && i < valueNames.size(); ++i) {
        const QString key = QStringLiteral("shot_media.") + valueNames.at(i);
        if (isTextType(layout.types.value(key)))
            use(i, true, layout.collations.value(key));
        use(i, true, findCollation());
    }
    QHash<QString, QSet<char32_t>> unknown;
    for (const Use &each : std::as_const(uses)) {
        const ServerCollation &collation = result.collations[each.collation];
        QSet<char32_t> &missing = unknown[each.collation];
        const QList<ShotRow> &rows = each.media ? result.mediaValues : result.rows;
        for (const ShotRow &row : rows) {
            const QVariant value = row.value(each.column);
            if (!value.isNull())
                collation.addUnknown(value.toString(), &missing);
        }
    }
    // Also what a word typed into the find most often holds, whether the
    // rows hold it or not: the Latin letters, with their accents, digits
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
    // What the server cannot weigh stays with the server: sorting and
    // finding by it ask it.
    if (!unknown.isEmpty())
        learnWeights(runner, &result.collations, unknown);
}

StatementResult ShotReader::readShot(qlonglong id, QHash<QString, QVariant> *values)
{
    QSqlQuery query(runner.database());
    const StatementResult read = runner.run(
        query, QStringLiteral("SELECT * FROM %1 WHERE %2 = ?").arg(quoted(table), quoted(QStringLiteral("id"))), {id});
    if (read.ok() && query.next()) {
        const QSqlRecord record = query.record();
        for (int i = 0; i < record.count(); ++i)
            values->insert(record.fieldName(i), query.value(i));
    }
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
