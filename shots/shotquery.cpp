#include "shots/shotquery.h"

#include <QRegularExpression>

QStringList ShotQuery::words() const
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return find.split(space, Qt::SkipEmptyParts);
}

bool ShotQuery::sameShots(const ShotQuery &other) const
{
    return project == other.project && words() == other.words() && notYetLogged == other.notYetLogged;
}

bool ShotQuery::narrows(const ShotQuery &wider) const
{
    if (project != wider.project || (wider.notYetLogged && !notYetLogged))
        return false;
    const QStringList mine = words();
    for (const QString &word : wider.words()) {
        // A shot holding one of these words holds every part of it.
        bool covered = false;
        for (const QString &narrower : mine)
            covered = covered || narrower.contains(word);
        if (!covered)
            return false;
    }
    return true;
}

QString containsPattern(const QString &word)
{
    QString pattern;
    pattern.reserve(word.size() + 4);
    pattern += QLatin1Char('%');
    for (const QChar c : word) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('%') || c == QLatin1Char('_'))
            pattern += QLatin1Char('\\');
        pattern += c;
    }
    pattern += QLatin1Char('%');
    return pattern;
}
