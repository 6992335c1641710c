#include "transcode/progressparser.h"

#include <QRegularExpression>

QList<ProgressParser::Line> ProgressParser::feed(const QString &text)
{
    QList<Line> lines;
    for (const QChar c : text) {
        if (pendingCarriageReturn) {
            pendingCarriageReturn = false;
            if (c == QLatin1Char('\n')) {
                takeLine(lines, false);   // CR LF: an ordinary line
                continue;
            }
            takeLine(lines, true);
        }
        if (c == QLatin1Char('\r')) {
            // Whether this is a progress line or half of a CR LF shows only
            // with the next character; its figures count at once.
            pendingCarriageReturn = true;
            scan(pending);
        } else if (c == QLatin1Char('\n')) {
            takeLine(lines, false);
        } else {
            pending.append(c);
        }
    }
    return lines;
}

QList<ProgressParser::Line> ProgressParser::finish()
{
    QList<Line> lines;
    if (pendingCarriageReturn || !pending.isEmpty())
        takeLine(lines, pendingCarriageReturn);
    pendingCarriageReturn = false;
    return lines;
}

void ProgressParser::takeLine(QList<Line> &lines, bool progress)
{
    if (!progress)
        scan(pending);   // progress lines were scanned at their CR
    lines.append(Line{pending, progress});
    pending.clear();
}

void ProgressParser::scan(const QString &line)
{
    // Only the first input's length counts; later "Duration:" texts belong
    // to other inputs or to metadata.
    static const QRegularExpression durationPattern(QStringLiteral("Duration:\\s*([0-9:.]+)"));
    static const QRegularExpression timePattern(QStringLiteral("time=\\s*(-?[0-9:.]+)"));
    if (duration < 0) {
        const QRegularExpressionMatch match = durationPattern.match(line);
        if (match.hasMatch()) {
            const qint64 value = parseTimestamp(match.captured(1));
            if (value > 0)
                duration = value;
        }
    }
    QRegularExpressionMatchIterator matches = timePattern.globalMatch(line);
    while (matches.hasNext()) {
        const qint64 value = parseTimestamp(matches.next().captured(1));
        if (value >= 0)
            time = qMax(time, value);
    }
    if (duration > 0 && time >= 0) {
        const int value = int(qBound(qint64(0), time * 100 / duration, qint64(100)));
        percentDone = qMax(percentDone, value);
    }
}

qint64 ProgressParser::parseTimestamp(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]+):([0-5][0-9]):([0-5][0-9])(?:\\.([0-9]+))?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return -1;
    bool ok = false;
    const qint64 hours = match.captured(1).toLongLong(&ok);
    if (!ok || hours > 1000000)
        return -1;
    const qint64 minutes = match.captured(2).toLongLong();
    const qint64 seconds = match.captured(3).toLongLong();
    // Fractions in milliseconds: ".5" is 500, ".04" is 40, ".123456" is 123.
    const QString fraction = (match.captured(4) + QStringLiteral("000")).left(3);
    return ((hours * 60 + minutes) * 60 + seconds) * 1000 + fraction.toLongLong();
}
