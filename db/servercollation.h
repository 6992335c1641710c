#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

#include "db/statementrunner.h"

// How the server orders and compares text in one collation, learnt from the
// server itself, so the client can sort and search the rows it holds
// exactly as the server's ORDER BY and LIKE would, without asking it.
//
// The server gives each character a weight (WEIGHT_STRING): ORDER BY
// compares the weights of two texts in turn, and in a PAD SPACE collation
// the shorter text counts as padded with spaces ("a" equals "a  ", and
// "a\t" sorts before "a", a tab weighing less than a space). LIKE compares
// character by character: two characters match when their weights are
// equal ("é" matches "e" in a case- and accent-insensitive collation, while
// "ß" matches neither "s" nor "ss", though "ß" = "ss" in a comparison).
// Both hold only in collations whose weights are those of each character
// in turn, with no contractions ("ch" as one letter); isDecomposable()
// names them, and the others are left to the server.
//
// An object is a value; what it learns goes to a copy, so one learnt on the
// database thread can be handed to a thread that sorts.
class ServerCollation
{
public:
    ServerCollation() = default;
    explicit ServerCollation(const QString &name);

    QString name() const { return collation; }
    bool isValid() const { return !collation.isEmpty(); }

    // Collations whose weights are those of each character in turn: the
    // binary ones, general_ci, unicode_ci and unicode_520_ci of any
    // character set, and the 8-bit ones of latin1 and ascii.
    static bool isDecomposable(const QString &name);

    // Whether every character of text has a known weight. Text the server
    // never gave us (typed since, or read with a newer row) is left to it.
    bool knows(QStringView text) const;
    // Adds the characters of text whose weights are not known yet. With
    // noted (0x10000 flags, for the characters of the basic plane), a
    // character noted once is not looked up in unknown again: a large read
    // holds the same few letters millions of times.
    void addUnknown(QStringView text, QSet<char32_t> *unknown, std::vector<bool> *noted = nullptr) const;

    // The weights of text as ORDER BY compares them; empty for unknown
    // characters' share. With known, whether every character was known
    // (as knows() says, in the same pass).
    QByteArray sortKey(QStringView text, bool *known = nullptr) const;
    // <0, 0, >0 as the server orders two texts by their sort keys.
    int compare(const QByteArray &a, const QByteArray &b) const;
    // Whether text equals '' in this collation (only spaces, or characters
    // without weight, in a PAD SPACE collation).
    bool isBlank(QStringView text) const;

    // Each character of text as the number of its kind: two characters of
    // one kind match in LIKE. Unknown characters get a number of their own.
    std::u32string likeKinds(QStringView text) const;
    // Appends the kinds of text to kinds; false when a character of it has
    // no known kind (the kinds are appended all the same).
    bool appendLikeKinds(QStringView text, std::u32string *kinds) const;

private:
    friend StatementResult learnWeights(StatementRunner &, QHash<QString, ServerCollation> *,
                                        const QHash<QString, QSet<char32_t>> &);
    struct Table;
    QString collation;
    std::shared_ptr<const Table> table;
};

// The collations a read learnt, by name; a value handed between threads.
using ServerCollations = QHash<QString, ServerCollation>;

// Asks the server for the weights of the characters each collation does
// not know yet (and, the first time, those of a space and a letter), in as
// few statements as the characters allow, on the runner's connection. A
// collation whose weights this client cannot take apart learns nothing and
// stays with the server.
StatementResult learnWeights(StatementRunner &runner, ServerCollations *collations,
                             const QHash<QString, QSet<char32_t>> &characters);
