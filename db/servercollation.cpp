#include "db/servercollation.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include <cstring>

namespace {
// Characters asked for in one statement.
constexpr int charactersPerStatement = 1000;

// Kinds are numbered from 1; 0 marks a character whose weight is unknown.
constexpr quint32 unknownKind = 0;
// An unknown character's kind in likeKinds(): never equal to a known one.
constexpr quint32 unknownMark = 0x80000000u;

const QRegularExpression &collationName()
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9]+_[A-Za-z0-9_]+$"));
    return pattern;
}

template<typename Each> void forEachCharacter(QStringView text, Each each)
{
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate()) {
            each(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else {
            each(char32_t(c.unicode()));
        }
    }
}
} // namespace

struct ServerCollation::Table
{
    QString charset;
    bool padSpace = true;
    int unit = 0;             // bytes per weight; 0 until learnt
    QByteArray space;         // the weight of a space
    QByteArray letter;        // the weight of "a", which ends every text asked for
    std::vector<quint32> bmp = std::vector<quint32>(0x10000, unknownKind);
    QHash<char32_t, quint32> beyondBmp;
    std::vector<QByteArray> weightOfKind{QByteArray()}; // [0] unused
    QHash<QByteArray, quint32> kindOfWeight;

    quint32 kindOf(char32_t c) const
    {
        return c < 0x10000 ? bmp[c] : beyondBmp.value(c, unknownKind);
    }

    void setKind(char32_t c, const QByteArray &weight)
    {
        quint32 kind = kindOfWeight.value(weight, unknownKind);
        if (kind == unknownKind) {
            kind = quint32(weightOfKind.size());
            weightOfKind.push_back(weight);
            kindOfWeight.insert(weight, kind);
        }
        if (c < 0x10000)
            bmp[c] = kind;
        else
            beyondBmp.insert(c, kind);
    }
};

ServerCollation::ServerCollation(const QString &name)
    : collation(name)
{
    auto fresh = std::make_shared<Table>();
    fresh->charset = name.section(QLatin1Char('_'), 0, 0);
    fresh->padSpace = !name.contains(QLatin1String("_nopad_"));
    table = fresh;
}

bool ServerCollation::isDecomposable(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(?:(?:utf8mb4|utf8mb3|utf8|ucs2|utf16|utf16le|utf32)_(?:bin|nopad_bin|general_ci|general_nopad_ci|"
        "general_mysql500_ci|unicode_ci|unicode_nopad_ci|unicode_520_ci|unicode_520_nopad_ci)"
        "|latin1_(?:bin|nopad_bin|swedish_ci|swedish_nopad_ci|general_ci|general_cs)"
        "|ascii_(?:bin|nopad_bin|general_ci|general_nopad_ci))$"));
    return pattern.match(name).hasMatch();
}

bool ServerCollation::knows(QStringView text) const
{
    if (!table || table->unit == 0)
        return false;
    bool known = true;
    forEachCharacter(text, [&](char32_t c) {
        if (known && table->kindOf(c) == unknownKind)
            known = false;
    });
    return known;
}

void ServerCollation::addUnknown(QStringView text, QSet<char32_t> *unknown, std::vector<bool> *noted) const
{
    if (!table)
        return;
    forEachCharacter(text, [&](char32_t c) {
        if (table->kindOf(c) != unknownKind)
            return;
        if (noted && c < 0x10000) {
            if ((*noted)[c])
                return;
            (*noted)[c] = true;
        }
        unknown->insert(c);
    });
}

StatementResult learnWeights(StatementRunner &runner, ServerCollations *collations,
                             const QHash<QString, QSet<char32_t>> &characters)
{
    // One question per character: its text and the collation to weigh it in.
    struct Asked
    {
        QString collation;
        char32_t character; // 0 with text: the letter or the space, the first time
        QString text;
    };
    QList<Asked> asked;
    QHash<QString, std::shared_ptr<ServerCollation::Table>> learning;
    for (auto it = characters.cbegin(); it != characters.cend(); ++it) {
        const auto found = collations->constFind(it.key());
        if (found == collations->cend() || !found->table || !collationName().match(it.key()).hasMatch())
            continue;
        auto table = std::make_shared<ServerCollation::Table>(*found->table);
        // Each text asked for ends in "a": a server that drops trailing
        // spaces from a weight string would otherwise lose a space's weight.
        if (table->unit == 0)
            asked << Asked{it.key(), 0, QStringLiteral("a")} << Asked{it.key(), 0, QStringLiteral(" a")};
        for (char32_t c : it.value()) {
            if (table->kindOf(c) == unknownKind)
                asked << Asked{it.key(), c, QString::fromUcs4(&c, 1) + QLatin1Char('a')};
        }
        learning.insert(it.key(), table);
    }
    QList<QByteArray> weights;
    QSqlQuery query(runner.database());
    for (qsizetype from = 0; from < asked.size(); from += charactersPerStatement) {
        const QList<Asked> chunk = asked.mid(from, charactersPerStatement);
        QStringList columns;
        QVariantList values;
        for (const Asked &each : chunk) {
            // Two characters at most: a text of unbounded length would give
            // a weight the driver makes room for in gigabytes.
            columns << QStringLiteral("WEIGHT_STRING(CAST(? AS CHAR(2) CHARACTER SET %1) COLLATE %2)")
                           .arg(learning.value(each.collation)->charset, each.collation);
            values << each.text;
        }
        const StatementResult ran =
            runner.run(query, QStringLiteral("Select ") + columns.join(QStringLiteral(", ")), values);
        if (!ran.ok())
            return ran;
        if (!query.next()) {
            StatementResult refused;
            refused.failure = StatementFailure::Refused;
            refused.error = QStringLiteral("the server gave no weights (%1)").arg(query.lastError().text());
            return refused;
        }
        for (int i = 0; i < chunk.size(); ++i)
            weights << query.value(i).toByteArray();
    }
    QSet<QString> failed;
    for (int i = 0; i < asked.size(); ++i) {
        const Asked &each = asked.at(i);
        ServerCollation::Table &table = *learning[each.collation];
        const QByteArray weight = weights.value(i);
        if (each.character == 0) {
            if (each.text == QLatin1String("a")) {
                table.letter = weight;
                table.unit = int(weight.size());
            } else if (table.unit == 0 || !weight.endsWith(table.letter)) {
                failed.insert(each.collation); // weighs text in a way this client does not follow
            } else {
                table.space = weight.chopped(table.letter.size());
            }
            continue;
        }
        if (table.unit == 0 || !weight.endsWith(table.letter))
            continue; // not a weight this client can take apart: stays unknown
        table.setKind(each.character, weight.chopped(table.letter.size()));
    }
    for (auto it = learning.cbegin(); it != learning.cend(); ++it) {
        if (failed.contains(it.key()))
            it.value()->unit = 0;
        (*collations)[it.key()].table = it.value();
    }
    return StatementResult::success();
}

QByteArray ServerCollation::sortKey(QStringView text, bool *known) const
{
    QByteArray key;
    if (known)
        *known = table && table->unit != 0;
    if (!table)
        return key;
    key.reserve(text.size() * table->unit);
    forEachCharacter(text, [&](char32_t c) {
        const quint32 kind = table->kindOf(c);
        if (kind != unknownKind)
            key += table->weightOfKind[kind];
        else if (known)
            *known = false;
    });
    return key;
}

int ServerCollation::compare(const QByteArray &a, const QByteArray &b) const
{
    const qsizetype common = qMin(a.size(), b.size());
    const int head = common ? std::memcmp(a.constData(), b.constData(), size_t(common)) : 0;
    if (head != 0)
        return head;
    if (a.size() == b.size())
        return 0;
    if (!table || !table->padSpace || table->space.isEmpty())
        return a.size() < b.size() ? -1 : 1;
    // PAD SPACE: the shorter text goes on as spaces; what the longer one
    // holds beyond it decides against a space's weight.
    const QByteArray &longer = a.size() > b.size() ? a : b;
    const int sign = a.size() > b.size() ? 1 : -1;
    const QByteArray &space = table->space;
    for (qsizetype at = common; at < longer.size(); at += space.size()) {
        const qsizetype length = qMin(space.size(), longer.size() - at);
        const int order = std::memcmp(longer.constData() + at, space.constData(), size_t(length));
        if (order != 0)
            return order > 0 ? sign : -sign;
        if (length < space.size())
            return sign;
    }
    return 0;
}

bool ServerCollation::isBlank(QStringView text) const
{
    const QByteArray key = sortKey(text);
    return compare(key, QByteArray()) == 0;
}

std::u32string ServerCollation::likeKinds(QStringView text) const
{
    std::u32string kinds;
    kinds.reserve(size_t(text.size()));
    appendLikeKinds(text, &kinds);
    return kinds;
}

bool ServerCollation::appendLikeKinds(QStringView text, std::u32string *kinds) const
{
    bool known = table && table->unit != 0;
    forEachCharacter(text, [&](char32_t c) {
        const quint32 kind = table ? table->kindOf(c) : unknownKind;
        if (kind == unknownKind)
            known = false;
        kinds->push_back(kind == unknownKind ? char32_t(unknownMark | c) : char32_t(kind));
    });
    return known;
}
