#include "shots/shotorder.h"

#include "shots/shotcolumns.h"

#include <QVariant>

#include <algorithm>

namespace ShotOrder {

namespace {

enum class KeyKind { Number, Text, Stamp };

// One value of a row as the server compares it.
struct Key
{
    bool null = true;
    qint64 number = 0;
    QByteArray weights; // text: its collation's weights; a time stamp: its digits
};

// Where a sort key comes from and how it is compared.
struct Field
{
    int column = -1;
    bool media = false;     // a media fact, not a column of shots
    KeyKind kind = KeyKind::Number;
    const ServerCollation *collation = nullptr;
};

bool isNumberType(const QString &type)
{
    return type == QLatin1String("int") || type == QLatin1String("bigint") || type == QLatin1String("smallint")
        || type == QLatin1String("mediumint") || type == QLatin1String("tinyint") || type == QLatin1String("year");
}

// How a column of the given server type compares; false when not here.
// Without collations, only whether its collation is one this client follows.
bool fieldOf(const ShotLayout &layout, const ServerCollations *collations, const QString &typeKey, int column,
             bool media, Field *field)
{
    const QString type = layout.types.value(typeKey);
    field->column = column;
    field->media = media;
    if (isNumberType(type)) {
        field->kind = KeyKind::Number;
        return true;
    }
    if (type == QLatin1String("datetime") || type == QLatin1String("timestamp") || type == QLatin1String("date")) {
        // As read: "yyyy-MM-dd hh:mm:ss", whose characters sort as the times do.
        field->kind = KeyKind::Stamp;
        return true;
    }
    if (!layout.isText(typeKey))
        return false;
    const QString collation = layout.collations.value(typeKey);
    if (!ServerCollation::isDecomposable(collation))
        return false;
    field->kind = KeyKind::Text;
    if (!collations)
        return true;
    const auto found = collations->constFind(collation);
    if (found == collations->cend())
        return false;
    field->collation = &found.value();
    return true;
}

// The sort keys of a column: one field, or a media column's facts in turn.
bool fieldsOf(const ShotLayout &layout, const ServerCollations *collations, const QString &column,
              QList<Field> *fields)
{
    const int index = int(layout.columns.indexOf(column));
    if (index < 0)
        return false;
    if (layout.isMediaColumn(index)) {
        const QStringList names = ShotReader::mediaValueNames();
        for (const QString &fact : ShotColumns::mediaFacts(column)) {
            Field field;
            if (!fieldOf(layout, collations, QStringLiteral("shot_media.") + fact, int(names.indexOf(fact)), true,
                         &field))
                return false;
            *fields << field;
        }
        return !fields->isEmpty();
    }
    Field field;
    if (!fieldOf(layout, collations, column, index, false, &field))
        return false;
    *fields << field;
    return true;
}

int compareKeys(const Field &field, const Key &a, const Key &b)
{
    if (a.null || b.null)
        return a.null == b.null ? 0 : (a.null ? -1 : 1); // NULL first, as the server sorts ascending
    switch (field.kind) {
    case KeyKind::Number:
        return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    case KeyKind::Stamp:
        return a.weights < b.weights ? -1 : (a.weights > b.weights ? 1 : 0);
    case KeyKind::Text:
        return field.collation->compare(a.weights, b.weights);
    }
    return 0;
}

} // namespace

bool canSort(const ShotLayout &layout, const QString &column)
{
    QList<Field> fields;
    return layout.columns.contains(QStringLiteral("id")) && fieldsOf(layout, nullptr, column, &fields);
}

std::optional<QList<int>> sorted(const Held &held, const QString &column, Qt::SortOrder order)
{
    const ShotLayout &layout = held.layout;
    const int idColumn = int(layout.columns.indexOf(QStringLiteral("id")));
    const int index = int(layout.columns.indexOf(column));
    QList<Field> fields;
    if (idColumn < 0 || !fieldsOf(layout, &held.collations, column, &fields))
        return std::nullopt;
    if (fields.first().media && held.mediaValues.size() != held.rows.size())
        return std::nullopt;

    const int rowCount = int(held.rows.size());
    const int width = int(fields.size());
    // The keys of every row, worked out once: [row * width + field].
    std::vector<Key> keys(static_cast<size_t>(rowCount) * static_cast<size_t>(width));
    std::vector<qint64> ids(static_cast<size_t>(rowCount));
    QString text;
    for (int row = 0; row < rowCount; ++row) {
        ids[size_t(row)] = held.rows.at(row).value(idColumn).toLongLong();
        for (int f = 0; f < width; ++f) {
            const Field &field = fields.at(f);
            const ShotRow &source = field.media ? held.mediaValues.at(row) : held.rows.at(row);
            Key &key = keys[size_t(row) * size_t(width) + size_t(f)];
            if (field.kind == KeyKind::Number) {
                const QVariant value = source.value(field.column);
                key.null = value.isNull() || !value.isValid();
                key.number = value.toLongLong();
                continue;
            }
            if (!source.textInto(field.column, &text))
                continue; // NULL
            key.null = false;
            if (field.kind == KeyKind::Stamp) {
                key.weights = text.toLatin1();
                continue;
            }
            bool known = false;
            key.weights = field.collation->sortKey(text, &known);
            if (!known)
                return std::nullopt; // a character the server never weighed for us
        }
    }
    QList<int> rows(rowCount);
    for (int i = 0; i < rowCount; ++i)
        rows[i] = i;
    const bool descending = order == Qt::DescendingOrder;
    const bool byId = fields.size() == 1 && !fields.first().media && index == idColumn;
    std::sort(rows.begin(), rows.end(), [&](int a, int b) {
        for (int f = 0; f < width; ++f) {
            const int compared = compareKeys(fields.at(f), keys[size_t(a) * size_t(width) + size_t(f)],
                                             keys[size_t(b) * size_t(width) + size_t(f)]);
            if (compared != 0)
                return descending ? compared > 0 : compared < 0;
        }
        // Equal: in the order of their ids (the key itself when sorting by id).
        if (byId && descending)
            return ids[size_t(a)] > ids[size_t(b)];
        return ids[size_t(a)] < ids[size_t(b)];
    });
    return rows;
}

std::optional<QList<int>> narrowed(const Held &held, const ShotQuery &query)
{
    const ShotLayout &layout = held.layout;
    const QStringList words = query.words();
    QList<std::u32string> patterns;
    const ServerCollation *find = nullptr;
    if (!words.isEmpty()) {
        const auto found = held.collations.constFind(ShotReader::findCollation());
        if (found == held.collations.cend())
            return std::nullopt;
        find = &found.value();
        for (const QString &word : words) {
            if (!find->knows(word))
                return std::nullopt;
            patterns << find->likeKinds(word);
        }
    }
    // The searched texts of a row: each column the server joins into the
    // text it matches, each media fact as the server turns it into text.
    QList<int> searched;
    for (const QString &column : ShotColumns::searched()) {
        const int index = int(layout.columns.indexOf(column));
        if (index >= 0 && index < layout.shotColumns)
            searched << index;
    }
    const QStringList facts = ShotReader::mediaValueNames();
    const int recordedAt = int(facts.indexOf(QStringLiteral("recorded_at")));
    const int timecode = int(facts.indexOf(QStringLiteral("start_timecode")));
    const int problem = int(facts.indexOf(QStringLiteral("problem")));
    const int width = int(facts.indexOf(QStringLiteral("width")));
    const int height = int(facts.indexOf(QStringLiteral("height")));
    const bool media = layout.media && held.mediaValues.size() == held.rows.size();

    // Not yet logged: the columns a logger fills in all empty, each as its
    // own collation compares it with ''.
    struct Blank
    {
        int column;
        const ServerCollation *collation;
    };
    QList<Blank> blanks;
    if (query.notYetLogged) {
        for (const QString &name : ShotColumns::logged()) {
            const int index = int(layout.columns.indexOf(name));
            const auto found = held.collations.constFind(layout.collations.value(name));
            if (index < 0 || found == held.collations.cend())
                return std::nullopt;
            blanks << Blank{index, &found.value()};
        }
    }

    QList<int> result;
    std::u32string kinds;
    QString text;
    bool unknown = false;
    // Each text of the row goes into kinds, parted by a kind no word holds.
    auto add = [&](QStringView value) {
        if (!find->appendLikeKinds(value, &kinds))
            unknown = true;
        kinds.push_back(char32_t(0xFFFFFFFFu));
    };
    for (int row = 0; row < held.rows.size(); ++row) {
        const ShotRow &shot = held.rows.at(row);
        bool matches = true;
        for (const Blank &blank : std::as_const(blanks)) {
            if (shot.textInto(blank.column, &text)) {
                if (!blank.collation->knows(text))
                    return std::nullopt;
                if (!blank.collation->isBlank(text)) {
                    matches = false;
                    break;
                }
            }
        }
        if (!matches)
            continue;
        if (!patterns.isEmpty()) {
            kinds.clear();
            for (int column : std::as_const(searched)) {
                if (shot.textInto(column, &text))
                    add(text);
            }
            if (media) {
                const ShotRow &values = held.mediaValues.at(row);
                for (int fact : {recordedAt, timecode, problem}) {
                    if (values.textInto(fact, &text))
                        add(text);
                }
                const QVariant w = values.value(width);
                const QVariant h = values.value(height);
                if (!w.isNull() && !h.isNull())
                    add(w.toString() + QLatin1Char('x') + h.toString());
            }
            if (unknown)
                return std::nullopt;
            for (const std::u32string &pattern : std::as_const(patterns)) {
                if (kinds.find(pattern) == std::u32string::npos) {
                    matches = false;
                    break;
                }
            }
        }
        if (matches)
            result << row;
    }
    return result;
}

QHash<qlonglong, int> rowsById(const Held &held, const QList<int> &order)
{
    const int idColumn = int(held.layout.columns.indexOf(QStringLiteral("id")));
    QHash<qlonglong, int> byId;
    byId.reserve(order.size());
    for (int i = 0; i < order.size(); ++i)
        byId.insert(held.rows.at(order.at(i)).value(idColumn).toLongLong(), i);
    return byId;
}

} // namespace ShotOrder
