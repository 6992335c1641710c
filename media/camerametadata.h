#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QString>
#include <QTime>

// What a consumer camcorder writes about a recording inside its H.264 stream:
// the date and time of its clock with the time zone it was set to, and the
// timecode. A transport stream has no date of its own, so this is the only
// place the recording date of an .MTS clip is kept.
//
// The camera puts it into SEI messages of type 5 (user data unregistered)
// named by the UUID 17ee8c60-f84d-11d9-8cd6-0800200c9a66, followed by the
// four bytes "MDPM", a count N and N entries of five bytes: a tag, then four
// data bytes, tags in ascending order, values in BCD.
//   0x13  timecode: frames, seconds, minutes, hours
//   0x18  time zone, century, year, month
//   0x19  day, hour, minute, second (follows 0x18)
// The time zone byte: 0x20 set means west of UTC, bits 1-4 the hours, bit 0
// an extra half hour, 0x40 daylight saving time.
//
// Every parser here is a pure function of the bytes it is given and reads
// only within them: an entry out of order, an impossible BCD digit, date or
// zone leaves that value empty, and nothing in a damaged stream can make it
// read past its input or loop.
struct CameraMetadata
{
    // The camera's clock at the recording, in its own local time.
    QDate date;
    QTime time;
    bool hasUtcOffset = false;
    int utcOffsetMinutes = 0;   // east of UTC, daylight saving time included
    bool daylightSaving = false;

    bool hasTimecode = false;
    int timecodeHours = 0;
    int timecodeMinutes = 0;
    int timecodeSeconds = 0;
    int timecodeFrames = 0;
    bool dropFrame = false;

    bool hasRecorded() const { return date.isValid() && time.isValid(); }
    bool isEmpty() const { return !hasRecorded() && !hasTimecode; }
    bool isComplete() const { return hasRecorded() && hasTimecode; }
    // "hh:mm:ss:ff", empty without a timecode.
    QString timecodeText() const;

    // Takes the values this one lacks from other.
    void fillFrom(const CameraMetadata &other);

    // Moves the timecode back by frames frames of a clock that counts
    // framesPerSecond frames (30 for 29.97 fps), with drop-frame counting
    // when the timecode says so; wraps at midnight. A camera that writes the
    // message only from a later frame on thus still gives the clip's start.
    // Nothing changes when the timecode does not fit that clock.
    void rewindTimecode(int frames, int framesPerSecond);

    // The 16-byte UUID that names the camera's messages.
    static QByteArray uuid();

    // The payload of one user data unregistered SEI message, UUID first.
    static CameraMetadata fromUserData(QByteArrayView payload);
    // One SEI NAL unit as stored in the stream: its header byte first, the
    // emulation prevention bytes still in place.
    static CameraMetadata fromSeiNal(QByteArrayView nal);
    // One access unit (a demuxed packet): NAL units behind start codes
    // (Annex B) when lengthSize is 0, else each behind its big-endian length
    // of lengthSize bytes (1 to 4, as MP4 stores them).
    static CameraMetadata fromAccessUnit(QByteArrayView data, int lengthSize = 0);

    // A NAL unit's payload without its emulation prevention bytes: the 03
    // of every 00 00 03 goes.
    static QByteArray unescape(QByteArrayView nal);
};
