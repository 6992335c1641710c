#pragma once

#include <QList>
#include <QString>

// Splits the encoder's diagnostic output into lines and follows its
// progress. The encoder ends its progress lines with a carriage return (and
// its other lines with a line feed, or CR LF on Windows), and its writes do
// not have to end at line ends, so text is fed in pieces as it arrives.
class ProgressParser
{
public:
    struct Line
    {
        QString text;
        bool progress = false;   // ended by a lone carriage return
        bool operator==(const Line &other) const { return text == other.text && progress == other.progress; }
    };

    // Takes the next piece of output and returns the lines it completed.
    QList<Line> feed(const QString &text);
    // The encoder has ended: returns what is left as a last line, if any.
    QList<Line> finish();

    // The input's length and the encoded time so far in milliseconds, -1
    // while unknown.
    qint64 durationMs() const { return duration; }
    qint64 timeMs() const { return time; }
    // 0 to 100, never lower than before; -1 while the length is unknown.
    int percent() const { return percentDone; }

    // "HH:MM:SS.ss" (hours may have more digits) in milliseconds, -1 when the
    // text is not such a time ("N/A", garbage, a negative time).
    static qint64 parseTimestamp(const QString &text);

private:
    void takeLine(QList<Line> &lines, bool progress);
    void scan(const QString &line);

    QString pending;          // text of the line not yet ended
    bool pendingCarriageReturn = false;   // pending ended with CR; a LF may follow
    qint64 duration = -1;
    qint64 time = -1;
    int percentDone = -1;
};
