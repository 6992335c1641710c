#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Camera-like clips for the media tests and benchmarks, made with the real
// encoder: H.264 from libx264 (interlaced or progressive), AC-3 audio, in an
// MPEG-TS with 192-byte packets as AVCHD cameras write them, and the
// camera's MDPM message (see CameraMetadata) put into the H.264 stream
// before muxing, as an SEI NAL unit ahead of each frame's first slice.
struct CameraClip
{
    int width = 1920;
    int height = 1080;
    bool interlaced = true;
    QString rate = QStringLiteral("30000/1001");
    double seconds = 3;
    int keyInterval = 15;
    int audioChannels = 2;
    int audioRate = 48000;
    QString sampleAspect = QStringLiteral("1/1");
    // The picture: a lavfi source with %1 standing for its size and %2 for
    // its rate. An interlaced clip is made from a source at twice the rate,
    // one field from each of its frames, so its fields show two moments.
    QString source = QStringLiteral("testsrc2=size=%1:rate=%2");
    // x264's constant quantizer when not 23: 0 makes large clips quickly
    // (lossless). A bit rate, when given, is used instead, with the preset
    // (a camera's stream: "faster" has CABAC).
    int quality = 23;
    int bitrateKbps = 0;
    QString preset = QStringLiteral("ultrafast");

    bool message = true;
    int messageFromFrame = 0;     // frames before it carry no message
    // The entries of the message, as the camera writes them; the
    // timecode's (tag 0x13) counts on by one frame per frame from these
    // BCD bytes: frames, seconds, minutes, hours.
    unsigned char zone = 0x00;
    QByteArray date = QByteArray::fromHex("20240317");     // century, year, month, day
    QByteArray clock = QByteArray::fromHex("140509");      // hour, minute, second
    QByteArray timecode = QByteArray::fromHex("00304501"); // 01:45:30:00
    int timecodeRate = 30;
    // Entries used as they are, for every frame, instead of the above.
    QList<QByteArray> rawEntries;

    // Makes the clip at path (parent folders included). False with the
    // reason in error when the encoder is missing or fails.
    bool make(const QString &path, QString *error = nullptr) const;

    // The MDPM entries for frame number frame.
    QList<QByteArray> entriesFor(int frame) const;
};

// One five-byte MDPM entry.
QByteArray mdpmEntry(unsigned char tag, unsigned char a, unsigned char b, unsigned char c, unsigned char d);
// The payload of the user data SEI message: UUID, "MDPM", count, entries.
QByteArray mdpmPayload(const QList<QByteArray> &entries);
// A complete SEI NAL unit (header byte, payload type and size, payload,
// stop bit) with emulation prevention bytes, without a start code.
QByteArray seiNal(const QByteArray &payload);
// Puts 03 after every two zero bytes that are followed by a byte of 0-3.
QByteArray escapeNal(const QByteArray &rbsp);
// The encoder's path, or empty when it is missing.
QString encoderPath();
