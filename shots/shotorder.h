#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <Qt>

#include <optional>

#include "shots/shotquery.h"
#include "shots/shotreader.h"

// Sorts and narrows the rows the grid holds as the server would, so a
// header click or one more character typed into the find needs no read.
// The server stays the judge: where the rows cannot be compared here
// exactly as it compares them (a collation with contractions, a character
// whose weight it never gave, a type not handled), these answer nothing
// and the model asks the server. Pure functions over values, safe on any
// thread.
namespace ShotOrder {

// What the model holds, shared for a thread that sorts.
struct Held
{
    ShotLayout layout;
    QList<ShotRow> rows;
    QList<ShotRow> mediaValues; // see ShotRows
    ServerCollations collations;
};

// Whether rows can be sorted here by that column at all (its type, its
// collation); whether every value can is known only from the values.
bool canSort(const ShotLayout &layout, const QString &column);

// The held rows (as indices) in the order the server gives for that column
// and order: its collation for text, numbers as numbers, NULL first when
// ascending, equal values in the order of their ids.
std::optional<QList<int>> sorted(const Held &held, const QString &column, Qt::SortOrder order);

// The held rows (indices, in their order) that query finds, where query
// narrows the one the rows were read for: every word anywhere in the
// searched columns, as the server's LIKE matches it, and "not yet logged".
std::optional<QList<int>> narrowed(const Held &held, const ShotQuery &query);

// Which row holds which shot, for rows in that order.
QHash<qlonglong, int> rowsById(const Held &held, const QList<int> &order);

// A list of values per row, in that order (or as it is when it holds
// fewer rows: a list kept only with the media).
template<typename T> QList<T> inOrder(const QList<T> &list, const QList<int> &order)
{
    if (list.size() < order.size())
        return list;
    QList<T> result;
    result.reserve(order.size());
    for (int index : order)
        result << list.at(index);
    return result;
}

} // namespace ShotOrder
