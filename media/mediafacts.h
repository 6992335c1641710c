#pragma once

#include <QDate>
#include <QString>
#include <QTime>

class QSqlRecord;

// What the sync reads from a clip's media, once per content, and keeps in
// the table shot_media for every workstation. Unknown values are empty:
// -1 for the length, 0 for numbers, empty texts, invalid dates.
struct MediaFacts
{
    qint64 durationMs = -1;   // of the video stream: first frame to last plus one frame
    int width = 0;            // stored picture size, not the display shape
    int height = 0;
    QString frameRate;        // average frame rate as a fraction: "30000/1001"
    QString scan;             // "progressive" or "interlaced"
    QString videoCodec;       // FFmpeg's short names: "h264", "ac3"
    QString audioCodec;
    int audioChannels = 0;
    int audioRate = 0;        // samples per second
    // The camera's clock at the recording (its local time) and its offset
    // from UTC, when the camera wrote them.
    QDate recordedDate;
    QTime recordedTime;
    bool hasUtcOffset = false;
    int utcOffsetMinutes = 0; // east of UTC: -300 for UTC-05:00, 330 for UTC+05:30
    QString startTimecode;    // "hh:mm:ss:ff"
    // Why the clip could not be read as video ("not a video", "unreadable",
    // "no video stream"); the facts are then empty.
    QString problem;

    bool hasRecorded() const { return recordedDate.isValid() && recordedTime.isValid(); }

    // The facts of a row read with one of Sql's media statements (columns
    // by name, recorded_at as text "yyyy-MM-dd hh:mm:ss").
    static MediaFacts fromRecord(const QSqlRecord &record);

    // --- what people see --------------------------------------------------

    // A length as "m:ss.fff" under an hour ("0:04.004", "12:03.500"), else
    // "h:mm:ss" ("1:02:03"); empty when unknown.
    static QString lengthText(qint64 ms);
    // A frame rate fraction as a number with at most two decimals and no
    // trailing zeros: "30000/1001" is "29.97", "25/1" is "25"; empty when the
    // text is not a positive fraction.
    static QString frameRateText(const QString &fraction);
    // An offset from UTC as "+05:30", "-05:00", "+00:00".
    static QString utcOffsetText(int minutes);

    // lengthText of this clip's length.
    QString lengthText() const { return lengthText(durationMs); }
    // "1920x1080i 29.97": size, 'i' or 'p' for the scan when known, rate.
    QString formatText() const;
    // "2024-03-17 14:05:09 -05:00", without the offset when the camera
    // wrote none; empty without a recording date.
    QString recordedText() const;
    // The start timecode, or empty.
    QString timecodeText() const { return startTimecode; }
};
