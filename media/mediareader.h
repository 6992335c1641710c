#pragma once

#include "media/mediafacts.h"

#include <QByteArray>
#include <QString>

#include <atomic>

// What one reading of a clip gives.
struct MediaReading
{
    MediaFacts facts;    // with facts.problem set when the clip is not readable as video
    QByteArray poster;   // a JPEG, empty when no picture could be made
    int posterWidth = 0;
    int posterHeight = 0;
    // The file is no longer the one that was hashed (its size or
    // modification time changed): nothing of this reading may be kept.
    bool changed = false;
    bool cancelled = false;
};

// Reads a clip's media facts and makes its poster in-process with FFmpeg's
// libraries: the container is demuxed, not decoded, except for one key frame
// for the poster (and one audio frame when the container does not say the
// audio's shape). The camera's date and timecode come from the H.264 SEI
// messages of the first two seconds (see CameraMetadata); the length from
// the first and the last frame's time stamps.
//
// A reading is bounded in time and in bytes, so no clip, however damaged,
// can make it hang or read a whole large file; nothing in a clip can crash
// it. Safe to call from several threads at once.
class MediaReader
{
public:
    static constexpr int posterWidth = 320;
    static constexpr int posterMaxBytes = 32 * 1024;

    struct Options
    {
        int timeLimitMs = 10000;
        qint64 byteLimit = 64 * 1024 * 1024;
        // When expectedSize >= 0: the file must still have this size and
        // modification time (nanoseconds since the epoch), else the reading
        // is marked changed and gives nothing.
        qint64 expectedSize = -1;
        qint64 expectedModifiedNs = 0;
        // Stops the reading early when it turns true.
        const std::atomic_bool *cancel = nullptr;
    };

    static MediaReading read(const QString &path, const Options &options);
    static MediaReading read(const QString &path) { return read(path, Options()); }

    // The short reasons a clip gets instead of facts.
    static constexpr char notAVideo[] = "not a video";
    static constexpr char unreadable[] = "unreadable";
    static constexpr char noVideoStream[] = "no video stream";
};
