#pragma once

#include <QString>
#include <QStringList>
#include <Qt>

// Which shots the grid shows and in which order, as a value: the project,
// the words typed into the find field, "not yet logged", and the column to
// sort by. The reader turns it into a statement (every typed word bound as
// a value, never part of the text); the model compares two of them to tell
// whether the rows it holds already answer a new one.
struct ShotQuery
{
    int project = 0;
    QString find;             // as typed
    bool notYetLogged = false;
    QString sortColumn = QStringLiteral("id");
    Qt::SortOrder order = Qt::AscendingOrder;

    // The typed text split into words at white space; empty words dropped.
    QStringList words() const;
    // The same shots, whatever their order.
    bool sameShots(const ShotQuery &other) const;
    // Every shot this query finds is one that wider finds: the same project,
    // each of wider's words within one of these words, and "not yet logged"
    // kept. Typing one more character, or one more word, narrows.
    bool narrows(const ShotQuery &wider) const;

    bool operator==(const ShotQuery &other) const
    {
        return sameShots(other) && sortColumn == other.sortColumn && order == other.order;
    }
    bool operator!=(const ShotQuery &other) const { return !(*this == other); }
};

// A LIKE pattern that finds word literally anywhere: \, % and _ escaped.
QString containsPattern(const QString &word);
