#include "media/camerametadata.h"

namespace {

constexpr int userDataUnregistered = 5;
constexpr int seiNalType = 6;
constexpr int uuidSize = 16;
constexpr int headerSize = uuidSize + 4 + 1;   // UUID, "MDPM", N
constexpr int entrySize = 5;

constexpr unsigned char cameraUuid[uuidSize] = {0x17, 0xee, 0x8c, 0x60, 0xf8, 0x4d, 0x11, 0xd9,
                                                0x8c, 0xd6, 0x08, 0x00, 0x20, 0x0c, 0x9a, 0x66};

// The value of a BCD byte, or -1 when a digit is not 0-9.
int bcd(unsigned char byte)
{
    const int high = byte >> 4;
    const int low = byte & 0x0f;
    if (high > 9 || low > 9)
        return -1;
    return high * 10 + low;
}

unsigned char at(QByteArrayView data, qsizetype index)
{
    return static_cast<unsigned char>(data[index]);
}

bool isVideoSlice(int nalType)
{
    return nalType >= 1 && nalType <= 5;
}

// Minutes east of UTC for the camera's time zone byte, daylight saving
// time included; false for a zone that cannot exist.
bool zoneOffset(unsigned char zone, int *minutes, bool *daylightSaving)
{
    const int hours = (zone >> 1) & 0x0f;
    if (hours > 14)
        return false;
    int offset = hours * 60 + ((zone & 0x01) ? 30 : 0);
    if (offset > 14 * 60)
        return false;
    if (zone & 0x20)
        offset = -offset;
    *daylightSaving = (zone & 0x40) != 0;
    if (*daylightSaving)
        offset += 60;
    *minutes = offset;
    return true;
}

} // namespace

QByteArray CameraMetadata::uuid()
{
    return QByteArray(reinterpret_cast<const char *>(cameraUuid), uuidSize);
}

QString CameraMetadata::timecodeText() const
{
    if (!hasTimecode)
        return QString();
    return QStringLiteral("%1:%2:%3:%4")
        .arg(timecodeHours, 2, 10, QLatin1Char('0'))
        .arg(timecodeMinutes, 2, 10, QLatin1Char('0'))
        .arg(timecodeSeconds, 2, 10, QLatin1Char('0'))
        .arg(timecodeFrames, 2, 10, QLatin1Char('0'));
}

void CameraMetadata::fillFrom(const CameraMetadata &other)
{
    if (!hasRecorded() && other.hasRecorded()) {
        date = other.date;
        time = other.time;
        hasUtcOffset = other.hasUtcOffset;
        utcOffsetMinutes = other.utcOffsetMinutes;
        daylightSaving = other.daylightSaving;
    }
    if (!hasTimecode && other.hasTimecode) {
        hasTimecode = true;
        timecodeHours = other.timecodeHours;
        timecodeMinutes = other.timecodeMinutes;
        timecodeSeconds = other.timecodeSeconds;
        timecodeFrames = other.timecodeFrames;
        dropFrame = other.dropFrame;
    }
}

void CameraMetadata::rewindTimecode(int frames, int framesPerSecond)
{
    const qint64 rate = framesPerSecond;
    if (!hasTimecode || frames <= 0 || rate <= 0 || rate > 120 || timecodeFrames >= rate)
        return;
    // Drop-frame counting skips the first frame numbers of every minute but
    // each tenth: two at 30 frames, four at 60.
    const qint64 drop = dropFrame && (rate == 30 || rate == 60) ? rate / 15 : 0;
    const qint64 totalMinutes = 60 * timecodeHours + timecodeMinutes;
    const qint64 dayFrames = 24 * 3600 * rate - drop * (24 * 60 - 24 * 6);
    qint64 number = (qint64(timecodeHours) * 3600 + timecodeMinutes * 60 + timecodeSeconds) * rate + timecodeFrames
        - drop * (totalMinutes - totalMinutes / 10);
    number = ((number - frames) % dayFrames + dayFrames) % dayFrames;
    if (drop > 0) {
        const qint64 perTenMinutes = rate * 600 - drop * 9;
        const qint64 perMinute = rate * 60 - drop;
        const qint64 tens = number / perTenMinutes;
        const qint64 rest = number % perTenMinutes;
        number += drop * 9 * tens + (rest > drop ? drop * ((rest - drop) / perMinute) : 0);
    }
    timecodeFrames = int(number % rate);
    timecodeSeconds = int(number / rate % 60);
    timecodeMinutes = int(number / rate / 60 % 60);
    timecodeHours = int(number / rate / 3600 % 24);
}

CameraMetadata CameraMetadata::fromUserData(QByteArrayView payload)
{
    CameraMetadata result;
    if (payload.size() < headerSize || payload.first(uuidSize) != QByteArrayView(uuid())
        || payload.sliced(uuidSize, 4) != QByteArrayView("MDPM"))
        return result;
    const int count = at(payload, headerSize - 1);
    int lastTag = -1;
    bool haveMonth = false;
    int zone = 0, year = 0, month = 0;
    for (int i = 0; i < count; ++i) {
        const qsizetype pos = headerSize + qsizetype(i) * entrySize;
        if (pos + entrySize > payload.size())
            break;
        const int tag = at(payload, pos);
        if (tag <= lastTag)
            continue;   // out of order: ignored
        lastTag = tag;
        const unsigned char b1 = at(payload, pos + 1), b2 = at(payload, pos + 2), b3 = at(payload, pos + 3),
                            b4 = at(payload, pos + 4);
        if (tag == 0x13) {
            // SMPTE layout: the top bits of frames and hours, and bit 7 of
            // seconds and minutes, are flags (bit 6 of frames: drop frame).
            const int frames = bcd(b1 & 0x3f), seconds = bcd(b2 & 0x7f), minutes = bcd(b3 & 0x7f),
                      hours = bcd(b4 & 0x3f);
            if (frames >= 0 && frames < 60 && seconds >= 0 && seconds < 60 && minutes >= 0 && minutes < 60
                && hours >= 0 && hours < 24) {
                result.hasTimecode = true;
                result.timecodeFrames = frames;
                result.timecodeSeconds = seconds;
                result.timecodeMinutes = minutes;
                result.timecodeHours = hours;
                result.dropFrame = (b1 & 0x40) != 0;
            }
        } else if (tag == 0x18) {
            const int century = bcd(b2), yearInCentury = bcd(b3);
            month = bcd(b4);
            zone = b1;
            haveMonth = century >= 0 && yearInCentury >= 0 && month >= 1 && month <= 12;
            year = century * 100 + yearInCentury;
        } else if (tag == 0x19) {
            if (!haveMonth)
                continue;
            const int day = bcd(b1), hour = bcd(b2), minute = bcd(b3), second = bcd(b4);
            const QDate date(year, month, day);
            if (day < 1 || !date.isValid() || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0
                || second > 59)
                continue;
            result.date = date;
            result.time = QTime(hour, minute, second);
            result.hasUtcOffset = zoneOffset(static_cast<unsigned char>(zone), &result.utcOffsetMinutes,
                                             &result.daylightSaving);
            if (!result.hasUtcOffset) {
                result.utcOffsetMinutes = 0;
                result.daylightSaving = false;
            }
        }
    }
    return result;
}

QByteArray CameraMetadata::unescape(QByteArrayView nal)
{
    QByteArray out;
    out.reserve(nal.size());
    int zeros = 0;
    for (qsizetype i = 0; i < nal.size(); ++i) {
        const char byte = nal[i];
        if (zeros >= 2 && byte == 0x03) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.append(byte);
    }
    return out;
}

CameraMetadata CameraMetadata::fromSeiNal(QByteArrayView nal)
{
    CameraMetadata result;
    if (nal.isEmpty() || (at(nal, 0) & 0x1f) != seiNalType)
        return result;
    const QByteArray rbsp = unescape(nal.sliced(1));
    const qsizetype size = rbsp.size();
    qsizetype pos = 0;
    // Each message takes at least two bytes, so the walk ends.
    while (pos + 2 <= size) {
        qint64 type = 0;
        while (pos < size && static_cast<unsigned char>(rbsp[pos]) == 0xff) {
            type += 255;
            ++pos;
        }
        if (pos >= size)
            break;
        type += static_cast<unsigned char>(rbsp[pos++]);
        qint64 length = 0;
        while (pos < size && static_cast<unsigned char>(rbsp[pos]) == 0xff) {
            length += 255;
            ++pos;
        }
        if (pos >= size)
            break;
        length += static_cast<unsigned char>(rbsp[pos++]);
        if (length > size - pos)
            break;   // a message cut short: nothing in it is trusted
        if (type == userDataUnregistered)
            result.fillFrom(fromUserData(QByteArrayView(rbsp).sliced(pos, qsizetype(length))));
        pos += qsizetype(length);
    }
    return result;
}

CameraMetadata CameraMetadata::fromAccessUnit(QByteArrayView data, int lengthSize)
{
    CameraMetadata result;
    const qsizetype size = data.size();
    // SEI messages come before the access unit's first slice; the walk stops
    // there, so a large picture costs only its first few bytes.
    if (lengthSize > 0) {
        if (lengthSize > 4)
            return result;
        qsizetype pos = 0;
        while (pos + lengthSize < size) {
            qint64 length = 0;
            for (int i = 0; i < lengthSize; ++i)
                length = (length << 8) | at(data, pos + i);
            pos += lengthSize;
            if (length <= 0 || length > size - pos)
                break;
            const int type = at(data, pos) & 0x1f;
            if (isVideoSlice(type))
                break;
            if (type == seiNalType)
                result.fillFrom(fromSeiNal(data.sliced(pos, qsizetype(length))));
            pos += qsizetype(length);
        }
        return result;
    }
    // Annex B: NAL units behind 00 00 01; zero bytes before a start code
    // belong to it, not to the unit before.
    auto nextStart = [&](qsizetype from) -> qsizetype {
        for (qsizetype i = from; i + 2 < size; ++i) {
            if (data[i + 2] > 1) {
                i += 2;
                continue;
            }
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
                return i;
        }
        return -1;
    };
    qsizetype start = nextStart(0);
    while (start >= 0) {
        const qsizetype begin = start + 3;
        if (begin >= size)
            break;
        const int type = at(data, begin) & 0x1f;
        if (isVideoSlice(type))
            break;
        const qsizetype next = nextStart(begin);
        qsizetype end = next < 0 ? size : next;
        if (type == seiNalType) {
            while (end > begin && data[end - 1] == 0)
                --end;
            result.fillFrom(fromSeiNal(data.sliced(begin, end - begin)));
        }
        start = next;
    }
    return result;
}
