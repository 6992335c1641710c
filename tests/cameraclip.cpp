#include "cameraclip.h"

#include "media/camerametadata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

bool run(const QStringList &arguments, QString *error)
{
    QProcess encoder;
    encoder.setProcessChannelMode(QProcess::MergedChannels);
    encoder.start(encoderPath(), QStringList{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"} + arguments);
    if (!encoder.waitForFinished(300000) || encoder.exitStatus() != QProcess::NormalExit || encoder.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("ffmpeg %1 failed: %2").arg(arguments.join(' '), QString::fromLocal8Bit(encoder.readAll()));
        return false;
    }
    return true;
}

unsigned char toBcd(int value)
{
    return static_cast<unsigned char>((value / 10) << 4 | (value % 10));
}

int fromBcd(unsigned char byte)
{
    return (byte >> 4) * 10 + (byte & 0x0f);
}

// The byte after the NAL header begins with first_mb_in_slice, coded as
// ue(v): a first bit of 1 is the value 0, the frame's first slice.
bool startsFrame(const QByteArray &stream, qsizetype nal)
{
    if (nal + 1 >= stream.size())
        return false;
    const int type = stream.at(nal) & 0x1f;
    return (type == 1 || type == 5) && (static_cast<unsigned char>(stream.at(nal + 1)) & 0x80);
}

} // namespace

QString encoderPath()
{
    return QStandardPaths::findExecutable("ffmpeg");
}

QByteArray mdpmEntry(unsigned char tag, unsigned char a, unsigned char b, unsigned char c, unsigned char d)
{
    QByteArray entry;
    entry.append(char(tag)).append(char(a)).append(char(b)).append(char(c)).append(char(d));
    return entry;
}

QByteArray mdpmPayload(const QList<QByteArray> &entries)
{
    QByteArray payload = CameraMetadata::uuid() + "MDPM";
    payload.append(char(entries.size()));
    for (const QByteArray &entry : entries)
        payload += entry;
    return payload;
}

QByteArray escapeNal(const QByteArray &rbsp)
{
    QByteArray out;
    int zeros = 0;
    for (const char byte : rbsp) {
        if (zeros >= 2 && static_cast<unsigned char>(byte) <= 3) {
            out.append(char(3));
            zeros = 0;
        }
        out.append(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
}

QByteArray seiNal(const QByteArray &payload)
{
    QByteArray rbsp;
    rbsp.append(char(5));   // user data unregistered
    qsizetype size = payload.size();
    while (size >= 255) {
        rbsp.append(char(0xff));
        size -= 255;
    }
    rbsp.append(char(size));
    rbsp += payload;
    rbsp.append(char(0x80));
    return QByteArray(1, char(0x06)) + escapeNal(rbsp);
}

QList<QByteArray> CameraClip::entriesFor(int frame) const
{
    if (!rawEntries.isEmpty())
        return rawEntries;
    const auto byte = [](const QByteArray &bytes, int i) { return static_cast<unsigned char>(bytes.at(i)); };
    const int start = ((fromBcd(byte(timecode, 3)) * 60 + fromBcd(byte(timecode, 2))) * 60 + fromBcd(byte(timecode, 1)))
            * timecodeRate
        + fromBcd(byte(timecode, 0));
    const int now = start + frame;
    const int frames = now % timecodeRate;
    const int seconds = now / timecodeRate % 60;
    const int minutes = now / timecodeRate / 60 % 60;
    const int hours = now / timecodeRate / 3600 % 24;
    return {mdpmEntry(0x13, toBcd(frames), toBcd(seconds), toBcd(minutes), toBcd(hours)),
            mdpmEntry(0x18, zone, byte(date, 0), byte(date, 1), byte(date, 2)),
            mdpmEntry(0x19, byte(date, 3), byte(clock, 0), byte(clock, 1), byte(clock, 2))};
}

bool CameraClip::make(const QString &path, QString *error) const
{
    if (encoderPath().isEmpty()) {
        if (error)
            *error = QStringLiteral("ffmpeg is not installed");
        return false;
    }
    QTemporaryDir work;
    const QString video = work.filePath("v.h264");
    const QString marked = work.filePath("m.h264");
    const QString audio = work.filePath("a.ac3");
    const QString length = QString::number(seconds);
    QString sourceRate = rate;
    if (interlaced) {
        const QStringList parts = rate.split('/');
        sourceRate = QStringLiteral("%1/%2").arg(parts.at(0).toInt() * 2).arg(parts.value(1, "1"));
    }
    QStringList encode{"-f", "lavfi", "-i", source.arg(QStringLiteral("%1x%2").arg(width).arg(height), sourceRate),
                       "-t", length};
    // No B-frames: a raw H.264 stream with them carries no presentation
    // times for the muxer. (The reader decodes a key frame only, so they
    // would cost it nothing.)
    QString x264 = QStringLiteral("keyint=%1:min-keyint=%1:scenecut=0:bframes=0").arg(keyInterval);
    QStringList filters;
    if (interlaced)
        filters << "tinterlace=mode=interleave_top" << "setfield=tff";
    filters << QStringLiteral("setsar=%1").arg(sampleAspect);
    encode << "-vf" << filters.join(',');
    if (interlaced) {
        encode << "-flags" << "+ilme+ildct";
        x264 += QStringLiteral(":tff=1");
    }
    encode << "-c:v" << "libx264" << "-preset" << preset << "-pix_fmt" << "yuv420p" << "-x264-params" << x264;
    if (bitrateKbps > 0)
        encode << "-b:v" << QStringLiteral("%1k").arg(bitrateKbps) << "-maxrate" << QStringLiteral("%1k").arg(bitrateKbps)
               << "-bufsize" << QStringLiteral("%1k").arg(bitrateKbps);
    else if (quality != 23)
        encode << "-qp" << QString::number(quality);
    encode << "-f" << "h264" << video;
    if (!run(encode, error))
        return false;
    if (!run({"-f", "lavfi", "-i", QStringLiteral("sine=frequency=440:sample_rate=%1:duration=%2").arg(audioRate).arg(length),
              "-ac", QString::number(audioChannels), "-c:a", "ac3", "-f", "ac3", audio},
             error))
        return false;

    // The message goes ahead of each frame's first slice, after the
    // parameter sets: where the camera puts it.
    QFile in(video);
    if (!in.open(QIODevice::ReadOnly)) {
        if (error)
            *error = in.errorString();
        return false;
    }
    const QByteArray stream = in.readAll();
    QByteArray out;
    out.reserve(stream.size() + stream.size() / 10);
    int frame = 0;
    qsizetype copied = 0;
    for (qsizetype i = 0; i + 3 < stream.size(); ++i) {
        if (stream.at(i) != 0 || stream.at(i + 1) != 0 || stream.at(i + 2) != 1)
            continue;
        const qsizetype nal = i + 3;
        if (startsFrame(stream, nal)) {
            // The start code may have a fourth zero byte ahead of it.
            const qsizetype startCode = i > 0 && stream.at(i - 1) == 0 ? i - 1 : i;
            out += stream.mid(copied, startCode - copied);
            if (message && frame >= messageFromFrame)
                out += QByteArray::fromHex("00000001") + seiNal(mdpmPayload(entriesFor(frame)));
            copied = startCode;
            ++frame;
        }
        i = nal;
    }
    out += stream.mid(copied);
    QFile result(marked);
    if (!result.open(QIODevice::WriteOnly) || result.write(out) != out.size()) {
        if (error)
            *error = result.errorString();
        return false;
    }
    result.close();
    QDir().mkpath(QFileInfo(path).absolutePath());
    return run({"-r", rate, "-f", "h264", "-i", marked, "-i", audio, "-c", "copy", "-f", "mpegts", "-mpegts_m2ts_mode",
                "1", path},
               error);
}
