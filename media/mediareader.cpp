#include "media/mediareader.h"

#include "media/camerametadata.h"
#include "files/clipfinder.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int ioBufferSize = 64 * 1024;
// The container is guessed from at most this much of the file's start: a
// video container shows in its first few KiB (a transport stream's 64 KiB
// hold 340 packets), while guessing on a large file of no known format
// costs about 40 ms per MiB.
constexpr qint64 probeBytes = 64 * 1024;
// The last frame's time is looked for in this much of the file's end, then
// in four and sixteen times as much.
constexpr qint64 tailBytes = 2 * 1024 * 1024;
// Cameras that leave the message out of the first frames write it within
// this much of the start.
constexpr double metadataSeconds = 2.0;
// How far past its target a key frame for the poster is looked for.
constexpr double posterSearchSeconds = 10.0;
constexpr int posterAttempts = 3;
constexpr int audioAttempts = 8;
// Without time stamps, this many frames stand for the first two seconds.
constexpr int untimedWindow = 120;

void quietLibraries()
{
    // A damaged clip makes the decoders complain at length; what went wrong
    // is reported as the clip's problem instead.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct FormatCloser
{
    void operator()(AVFormatContext *format) const { avformat_close_input(&format); }
};
struct IoFree
{
    void operator()(AVIOContext *io) const
    {
        if (io)
            av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct CodecFree
{
    void operator()(AVCodecContext *codec) const { avcodec_free_context(&codec); }
};
struct FrameFree
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketFree
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct ScaleFree
{
    void operator()(SwsContext *scale) const { sws_freeContext(scale); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// The clip as FFmpeg reads it: through this, so every byte is counted and
// every read checks the clock and the cancel flag.
struct Source
{
    QFile file;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 position = 0;
    qint64 bytesRead = 0;
    qint64 byteLimit = 0;
    int timeLimitMs = 0;
    QElapsedTimer clock;
    const std::atomic_bool *cancel = nullptr;
    bool cancelled = false;
    bool timedOut = false;
    bool overLimit = false;
    QString readError;

    bool mustStop()
    {
        if (cancel && cancel->load())
            cancelled = true;
        else if (clock.elapsed() > timeLimitMs)
            timedOut = true;
        return cancelled || timedOut;
    }
    bool stopped() const { return cancelled || timedOut || overLimit || !readError.isEmpty(); }
};

int readSource(void *opaque, uint8_t *buffer, int size)
{
    auto *source = static_cast<Source *>(opaque);
    if (source->mustStop())
        return AVERROR_EXIT;
    const qint64 left = source->byteLimit - source->bytesRead;
    if (left <= 0) {
        source->overLimit = true;
        return AVERROR_EXIT;
    }
    if (source->file.pos() != source->position && !source->file.seek(source->position)) {
        source->readError = source->file.errorString();
        return AVERROR(EIO);
    }
    const qint64 got = source->file.read(reinterpret_cast<char *>(buffer), qMin<qint64>(size, left));
    if (got < 0) {
        source->readError = source->file.errorString();
        return AVERROR(EIO);
    }
    if (got == 0)
        return AVERROR_EOF;
    source->position += got;
    source->bytesRead += got;
    return int(got);
}

int64_t seekSource(void *opaque, int64_t offset, int whence)
{
    auto *source = static_cast<Source *>(opaque);
    if (whence & AVSEEK_SIZE)
        return source->size;
    qint64 target = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        target = offset;
        break;
    case SEEK_CUR:
        target = source->position + offset;
        break;
    case SEEK_END:
        target = source->size + offset;
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (target < 0)
        return AVERROR(EINVAL);
    source->position = target;
    return target;
}

int interrupted(void *opaque)
{
    return static_cast<Source *>(opaque)->mustStop() ? 1 : 0;
}

// Opens the file without blocking (a FIFO put in a clip's place must not
// wait for a writer) and only when it is a regular file.
QString openSource(const QString &path, Source &source)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return QStringLiteral("not a regular file");
    }
    source.size = qint64(status.st_size);
    source.modifiedNs = ClipFinder::modifiedNs(status);
    if (!source.file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return source.file.errorString();
    }
#else
    source.file.setFileName(path);
    if (!source.file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return source.file.errorString();
    source.size = source.file.size();
    source.modifiedNs = source.file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch() * 1000000;
#endif
    return QString();
}

// The container's format from the file's first bytes, as libavformat
// guesses it, the sample growing while the guess is weak; nullptr when no
// format is more than a weak guess (which reading as video would only
// turn into noise). Probing here, once and without the file's name, costs
// half of what the probe inside avformat_open_input does, which counts
// when thousands of clips are no video at all.
const AVInputFormat *probeFormat(Source &source)
{
    QByteArray sample;
    for (qint64 size = 2048;; size *= 8) {
        const qint64 wanted = qMin(size, qMin(source.size, probeBytes));
        sample.resize(wanted + AVPROBE_PADDING_SIZE);
        if (source.mustStop() || !source.file.seek(0))
            return nullptr;
        const qint64 got = source.file.read(sample.data(), wanted);
        if (got < 0) {
            source.readError = source.file.errorString();
            return nullptr;
        }
        source.bytesRead += got;
        std::fill(sample.begin() + got, sample.end(), 0);
        AVProbeData data {};
        data.filename = "";
        data.buf = reinterpret_cast<unsigned char *>(sample.data());
        data.buf_size = int(got);
        int score = 0;
        const AVInputFormat *format = av_probe_input_format3(&data, 1, &score);
        if (format && score > AVPROBE_SCORE_RETRY)
            return format;
        if (got < wanted || wanted >= source.size || wanted >= probeBytes)
            return nullptr;
    }
}

// Size and modification time of the open file now.
QPair<qint64, qint64> currentState(Source &source)
{
#ifdef Q_OS_UNIX
    struct stat status {};
    if (fstat(source.file.handle(), &status) != 0)
        return {-1, 0};
    return {qint64(status.st_size), ClipFinder::modifiedNs(status)};
#else
    return {source.file.size(),
            source.file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch() * 1000000};
#endif
}

Codec openDecoder(const AVStream *stream)
{
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return nullptr;
    Codec context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0)
        return nullptr;
    // One picture per clip: threads would cost more than they save.
    context->thread_count = 1;
    context->pkt_timebase = stream->time_base;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return nullptr;
    return context;
}

// The first picture the packet gives on its own, as for a key frame.
bool decodeAlone(AVCodecContext *decoder, const AVPacket *packet, AVFrame *frame)
{
    avcodec_flush_buffers(decoder);
    if (avcodec_send_packet(decoder, packet) < 0)
        return false;
    avcodec_send_packet(decoder, nullptr);
    av_frame_unref(frame);
    return avcodec_receive_frame(decoder, frame) == 0 && frame->width > 0 && frame->height > 0;
}

QByteArray encodeJpeg(const AVFrame *picture, int quality)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec)
        return QByteArray();
    Codec encoder(avcodec_alloc_context3(codec));
    if (!encoder)
        return QByteArray();
    encoder->width = picture->width;
    encoder->height = picture->height;
    encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder->time_base = AVRational{1, 25};
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = quality * FF_QP2LAMBDA;
    encoder->thread_count = 1;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0)
        return QByteArray();
    Frame frame(av_frame_clone(picture));
    Packet packet(av_packet_alloc());
    if (!frame || !packet)
        return QByteArray();
    frame->quality = encoder->global_quality;
    frame->pts = 0;
    if (avcodec_send_frame(encoder.get(), frame.get()) < 0 || avcodec_send_frame(encoder.get(), nullptr) < 0
        || avcodec_receive_packet(encoder.get(), packet.get()) < 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(packet->data), packet->size);
}

// The poster: posterWidth wide in the picture's display shape, one field of
// an interlaced picture (so its two moments never blend into combs), as a
// JPEG of at most posterMaxBytes.
QByteArray makePoster(const AVFrame *frame, AVRational aspect, int *width, int *height)
{
    const int targetWidth = MediaReader::posterWidth;
    const double pixelShape = aspect.num > 0 && aspect.den > 0 ? av_q2d(aspect) : 1.0;
    const double displayWidth = frame->width * (pixelShape > 0.1 && pixelShape < 10 ? pixelShape : 1.0);
    int targetHeight = int(std::lround(targetWidth * frame->height / displayWidth)) & ~1;
    targetHeight = std::clamp(targetHeight, 2, 4 * targetWidth);

    const uint8_t *planes[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
    int strides[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]};
    int sourceHeight = frame->height;
    if (frame->interlaced_frame && frame->height >= 4) {
        // The field shown first: every other line, from the top line for
        // top field first.
        const int first = frame->top_field_first ? 0 : 1;
        for (int i = 0; i < 4 && planes[i]; ++i) {
            planes[i] += first * strides[i];
            strides[i] *= 2;
        }
        sourceHeight = frame->height / 2;
    }
    std::unique_ptr<SwsContext, ScaleFree> scale(
        sws_getContext(frame->width, sourceHeight, AVPixelFormat(frame->format), targetWidth, targetHeight,
                       AV_PIX_FMT_YUVJ420P, SWS_AREA, nullptr, nullptr, nullptr));
    if (!scale)
        return QByteArray();
    int sourceRange = 0, destinationRange = 0, brightness = 0, contrast = 0, saturation = 0;
    int *sourceTable = nullptr, *destinationTable = nullptr;
    if (sws_getColorspaceDetails(scale.get(), &sourceTable, &sourceRange, &destinationTable, &destinationRange,
                                 &brightness, &contrast, &saturation)
        >= 0) {
        if (frame->color_range == AVCOL_RANGE_JPEG)
            sourceRange = 1;
        sws_setColorspaceDetails(scale.get(), sourceTable, sourceRange, destinationTable, 1, brightness, contrast,
                                 saturation);
    }
    Frame poster(av_frame_alloc());
    if (!poster)
        return QByteArray();
    poster->width = targetWidth;
    poster->height = targetHeight;
    poster->format = AV_PIX_FMT_YUVJ420P;
    if (av_frame_get_buffer(poster.get(), 0) < 0)
        return QByteArray();
    if (sws_scale(scale.get(), planes, strides, 0, sourceHeight, poster->data, poster->linesize) <= 0)
        return QByteArray();
    // The finest quality that fits.
    for (int quality : {3, 5, 8, 12, 18, 31}) {
        const QByteArray jpeg = encodeJpeg(poster.get(), quality);
        if (jpeg.isEmpty())
            return QByteArray();
        if (jpeg.size() <= MediaReader::posterMaxBytes) {
            *width = targetWidth;
            *height = targetHeight;
            return jpeg;
        }
    }
    return QByteArray();
}

// One reading, step by step. Time stamps are those of the video stream;
// the demuxer's own wrap correction is off (it would take the tail, read
// first, for the start), so wraps of the 33-bit clock are undone here.
class Reading
{
public:
    Reading(Source &source, MediaReading &result)
        : source(source)
        , result(result)
    {
    }

    void run(const QString &path);

private:
    bool open(const QString &path);
    void findStreams();
    void readTail();
    void readStart();
    void takeVideoPacket(const AVPacket *packet);
    void takeAudioPacket(const AVPacket *packet);
    void finish();
    QString limitProblem() const;
    qint64 unwrap(qint64 pts) const;
    double seconds(qint64 ticks) const { return ticks * av_q2d(video->time_base); }
    bool pastMetadataWindow() const
    {
        return untimedPackets > untimedWindow
            || (previousPts != AV_NOPTS_VALUE && seconds(previousPts - firstPts) > metadataSeconds);
    }

    Source &source;
    MediaReading &result;
    std::unique_ptr<AVIOContext, IoFree> io;
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    AVStream *video = nullptr;
    AVStream *audio = nullptr;
    Codec videoDecoder;
    Codec audioDecoder;
    Frame picture;
    bool havePicture = false;
    bool posterGivenUp = false;
    int posterTries = 0;
    int audioTries = 0;
    Packet fallbackKey;       // the first key frame, for a poster when none follows the target

    qint64 firstPts = AV_NOPTS_VALUE;   // unwrapped from here on
    qint64 lastPts = AV_NOPTS_VALUE;    // in the tail, raw
    qint64 lastDuration = 0;
    qint64 durationTicks = -1;          // from the container, when it says
    bool containerDuration = false;
    double posterTarget = 1.0;          // seconds after the first frame
    qint64 smallestStep = 0;            // between two frames' time stamps, for the rate
    qint64 previousPts = AV_NOPTS_VALUE;
    CameraMetadata camera;
    qint64 cameraPts = AV_NOPTS_VALUE;  // where the first message was found
    int lengthSize = 0;                 // of NAL units in MP4, 0 for start codes
    int untimedPackets = 0;             // video packets without a time stamp
};

QString Reading::limitProblem() const
{
    if (source.timedOut)
        return QStringLiteral("%1: reading it took longer than %2 s")
            .arg(QLatin1String(MediaReader::unreadable))
            .arg(source.timeLimitMs / 1000.0);
    if (source.overLimit)
        return QStringLiteral("%1: nothing usable in its first %2 MiB")
            .arg(QLatin1String(MediaReader::unreadable))
            .arg(source.byteLimit / (1024 * 1024));
    if (!source.readError.isEmpty())
        return QStringLiteral("%1: %2").arg(QLatin1String(MediaReader::unreadable), source.readError);
    return QString();
}

qint64 Reading::unwrap(qint64 pts) const
{
    if (pts == AV_NOPTS_VALUE || firstPts == AV_NOPTS_VALUE || video->pts_wrap_bits >= 63)
        return pts;
    const qint64 wrap = qint64(1) << video->pts_wrap_bits;
    if (pts < firstPts - wrap / 2)
        return pts + wrap;
    return pts;
}

bool Reading::open(const QString &path)
{
    const AVInputFormat *guessed = probeFormat(source);
    if (!guessed)
        return false;
    auto *buffer = static_cast<unsigned char *>(av_malloc(ioBufferSize));
    if (!buffer)
        return false;
    io.reset(avio_alloc_context(buffer, ioBufferSize, 0, &source, readSource, nullptr, seekSource));
    if (!io) {
        av_free(buffer);
        return false;
    }
    AVFormatContext *context = avformat_alloc_context();
    if (!context)
        return false;
    context->pb = io.get();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    context->interrupt_callback.callback = interrupted;
    context->interrupt_callback.opaque = &source;
    context->correct_ts_overflow = 0;
    const QByteArray name = QFile::encodeName(path);
    if (avformat_open_input(&context, name.constData(), guessed, nullptr) < 0)
        return false;   // the context is freed on failure
    format.reset(context);
    return true;
}

void Reading::findStreams()
{
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream *stream = format->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && !video && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            video = stream;
        else if (type == AVMEDIA_TYPE_AUDIO && !audio)
            audio = stream;
    }
}

void Reading::readTail()
{
    // A container that states the length (MP4) needs no tail.
    if (video->duration != AV_NOPTS_VALUE && video->duration > 0) {
        durationTicks = video->duration;
        containerDuration = true;
        return;
    }
    if (format->iformat->flags & AVFMT_NO_BYTE_SEEK)
        return;
    Packet packet(av_packet_alloc());
    if (!packet)
        return;
    for (qint64 span = tailBytes; span <= 4 * tailBytes; span *= 4) {
        const qint64 from = qMax<qint64>(0, source.size - span);
        if (av_seek_frame(format.get(), -1, from, AVSEEK_FLAG_BYTE) < 0)
            break;
        while (av_read_frame(format.get(), packet.get()) >= 0) {
            if (packet->stream_index == video->index && packet->pts != AV_NOPTS_VALUE) {
                // The largest time stamp (frames are stored out of order).
                if (lastPts == AV_NOPTS_VALUE || packet->pts > lastPts) {
                    lastPts = packet->pts;
                    lastDuration = packet->duration;
                }
            }
            av_packet_unref(packet.get());
        }
        if (lastPts != AV_NOPTS_VALUE || from == 0 || source.stopped())
            break;
    }
    source.overLimit = false;   // the start is read with what is left
    av_seek_frame(format.get(), -1, 0, AVSEEK_FLAG_BYTE);
}

void Reading::takeVideoPacket(const AVPacket *packet)
{
    const QByteArrayView data(reinterpret_cast<const char *>(packet->data), packet->size);
    const qint64 raw = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (raw == AV_NOPTS_VALUE) {
        // A stream without time stamps (raw H.264): the messages of its
        // first frames, and its first key frame for the poster.
        ++untimedPackets;
        if (!camera.isComplete() && !pastMetadataWindow())
            camera.fillFrom(CameraMetadata::fromAccessUnit(data, lengthSize));
        if (!fallbackKey && (packet->flags & AV_PKT_FLAG_KEY))
            fallbackKey.reset(av_packet_clone(packet));
        if (fallbackKey && pastMetadataWindow())
            posterGivenUp = true;   // the first key frame is decoded at the end
        return;
    }
    if (firstPts == AV_NOPTS_VALUE) {
        firstPts = raw;
        if (durationTicks < 0 && lastPts != AV_NOPTS_VALUE)
            durationTicks = unwrap(lastPts) - firstPts;
        if (durationTicks > 0)
            posterTarget = qMin(1.0, seconds(durationTicks) / 10.0);
    }
    const qint64 pts = unwrap(raw);
    if (pts < firstPts)
        firstPts = pts;   // frames stored ahead of the first one shown
    if (previousPts != AV_NOPTS_VALUE && pts != previousPts) {
        const qint64 step = std::abs(pts - previousPts);
        if (smallestStep == 0 || step < smallestStep)
            smallestStep = step;
    }
    previousPts = pts;
    const double at = seconds(pts - firstPts);

    if (!camera.isComplete() && at <= metadataSeconds) {
        const CameraMetadata found = CameraMetadata::fromAccessUnit(data, lengthSize);
        if (found.hasTimecode && !camera.hasTimecode)
            cameraPts = pts;
        camera.fillFrom(found);
    }

    if (havePicture || posterGivenUp || !(packet->flags & AV_PKT_FLAG_KEY) || !videoDecoder)
        return;
    if (!fallbackKey)
        fallbackKey.reset(av_packet_clone(packet));
    if (at + 1e-6 < posterTarget)
        return;
    if (at > posterTarget + posterSearchSeconds) {
        posterGivenUp = true;
        return;
    }
    havePicture = decodeAlone(videoDecoder.get(), packet, picture.get());
    if (!havePicture && ++posterTries >= posterAttempts)
        posterGivenUp = true;
}

void Reading::takeAudioPacket(const AVPacket *packet)
{
    if (!audioDecoder || ++audioTries > audioAttempts)
        return;
    Frame frame(av_frame_alloc());
    if (!frame || avcodec_send_packet(audioDecoder.get(), packet) < 0)
        return;
    if (avcodec_receive_frame(audioDecoder.get(), frame.get()) == 0 && frame->sample_rate > 0) {
        result.facts.audioChannels = frame->ch_layout.nb_channels;
        result.facts.audioRate = frame->sample_rate;
        audioDecoder.reset();
    }
}

void Reading::readStart()
{
    Packet packet(av_packet_alloc());
    if (!packet)
        return;
    for (;;) {
        const bool posterSettled = havePicture || posterGivenUp || !videoDecoder;
        const bool cameraSettled = camera.isComplete() || pastMetadataWindow();
        if (posterSettled && cameraSettled && !audioDecoder)
            break;
        const int status = av_read_frame(format.get(), packet.get());
        if (status < 0)
            break;
        if (packet->stream_index == video->index)
            takeVideoPacket(packet.get());
        else if (audio && packet->stream_index == audio->index)
            takeAudioPacket(packet.get());
        av_packet_unref(packet.get());
    }
    // No key frame at or after the target: the first one will do.
    if (!havePicture && fallbackKey && videoDecoder && !source.cancelled)
        havePicture = decodeAlone(videoDecoder.get(), fallbackKey.get(), picture.get());
}

void Reading::finish()
{
    MediaFacts &facts = result.facts;
    const AVCodecParameters *parameters = video->codecpar;
    facts.videoCodec = QString::fromLatin1(avcodec_get_name(parameters->codec_id));
    if (audio)
        facts.audioCodec = QString::fromLatin1(avcodec_get_name(audio->codecpar->codec_id));

    facts.width = havePicture ? picture->width : parameters->width;
    facts.height = havePicture ? picture->height : parameters->height;
    if (havePicture)
        facts.scan = picture->interlaced_frame ? QStringLiteral("interlaced") : QStringLiteral("progressive");
    else if (parameters->field_order == AV_FIELD_PROGRESSIVE)
        facts.scan = QStringLiteral("progressive");
    else if (parameters->field_order != AV_FIELD_UNKNOWN)
        facts.scan = QStringLiteral("interlaced");

    // The rate the stream itself declares (H.264 timing), else the
    // container's, else the step between time stamps.
    AVRational rate{0, 1};
    if (videoDecoder && videoDecoder->framerate.num > 0 && videoDecoder->framerate.den > 0)
        rate = videoDecoder->framerate;
    else if (video->avg_frame_rate.num > 0 && video->avg_frame_rate.den > 0)
        rate = video->avg_frame_rate;
    else if (video->r_frame_rate.num > 0 && video->r_frame_rate.den > 0)
        rate = video->r_frame_rate;
    else if (smallestStep > 0)
        rate = av_inv_q(av_mul_q(AVRational{int(qMin<qint64>(smallestStep, INT_MAX)), 1}, video->time_base));
    if (rate.num > 0 && rate.den > 0) {
        av_reduce(&rate.num, &rate.den, rate.num, rate.den, 1 << 30);
        facts.frameRate = QStringLiteral("%1/%2").arg(rate.num).arg(rate.den);
    }

    if (!containerDuration && lastPts != AV_NOPTS_VALUE && firstPts != AV_NOPTS_VALUE) {
        // First frame to last, plus the last frame's own time.
        qint64 frameTicks = lastDuration;
        if (frameTicks <= 0 && rate.num > 0)
            frameTicks = av_rescale_q(1, av_inv_q(rate), video->time_base);
        durationTicks = unwrap(lastPts) - firstPts + qMax<qint64>(0, frameTicks);
    }
    if (durationTicks > 0)
        facts.durationMs = av_rescale_q_rnd(durationTicks, video->time_base, AVRational{1, 1000}, AV_ROUND_NEAR_INF);

    if (audio && facts.audioChannels == 0) {
        facts.audioChannels = audio->codecpar->ch_layout.nb_channels;
        facts.audioRate = audio->codecpar->sample_rate;
    }

    if (camera.hasTimecode && cameraPts != AV_NOPTS_VALUE && rate.num > 0) {
        const int frames = int(std::lround(seconds(cameraPts - firstPts) * av_q2d(rate)));
        camera.rewindTimecode(frames, int(std::lround(av_q2d(rate))));
    }
    if (camera.hasRecorded()) {
        facts.recordedDate = camera.date;
        facts.recordedTime = camera.time;
        facts.hasUtcOffset = camera.hasUtcOffset;
        facts.utcOffsetMinutes = camera.utcOffsetMinutes;
    }
    facts.startTimecode = camera.timecodeText();

    if (havePicture) {
        AVRational aspect = picture->sample_aspect_ratio;
        if (aspect.num <= 0)
            aspect = video->sample_aspect_ratio.num > 0 ? video->sample_aspect_ratio : parameters->sample_aspect_ratio;
        result.poster = makePoster(picture.get(), aspect, &result.posterWidth, &result.posterHeight);
    }
}

void Reading::run(const QString &path)
{
    const auto problem = [this](const QString &why) {
        result.facts = MediaFacts();
        result.facts.problem = why;
        result.poster.clear();
        result.posterWidth = result.posterHeight = 0;
    };
    if (source.size == 0) {
        problem(QLatin1String(MediaReader::notAVideo));
        return;
    }
    if (!open(path)) {
        const QString limit = limitProblem();
        problem(limit.isEmpty() ? QLatin1String(MediaReader::notAVideo) : limit);
        return;
    }
    findStreams();
    if (!video) {
        const QString limit = limitProblem();
        problem(!limit.isEmpty() ? limit
                : format->nb_streams == 0 ? QLatin1String(MediaReader::notAVideo)
                                           : QLatin1String(MediaReader::noVideoStream));
        return;
    }
    if (video->codecpar->codec_id == AV_CODEC_ID_H264 && video->codecpar->extradata_size > 4
        && video->codecpar->extradata[0] == 1)
        lengthSize = (video->codecpar->extradata[4] & 0x03) + 1;
    videoDecoder = openDecoder(video);
    picture.reset(av_frame_alloc());
    if (audio && (audio->codecpar->ch_layout.nb_channels == 0 || audio->codecpar->sample_rate == 0))
        audioDecoder = openDecoder(audio);
    if (!picture)
        return problem(QLatin1String(MediaReader::unreadable));

    readTail();
    if (!source.cancelled && !source.timedOut)
        readStart();
    if (source.cancelled)
        return;
    finish();
    if (result.facts.width <= 0 || result.facts.height <= 0) {
        const QString limit = limitProblem();
        problem(limit.isEmpty() ? QStringLiteral("%1: no picture could be decoded")
                                      .arg(QLatin1String(MediaReader::unreadable))
                                : limit);
    }
}

} // namespace

MediaReading MediaReader::read(const QString &path, const Options &options)
{
    quietLibraries();
    MediaReading result;
    Source source;
    source.byteLimit = options.byteLimit;
    source.timeLimitMs = options.timeLimitMs;
    source.cancel = options.cancel;
    source.clock.start();
    const QString openError = openSource(path, source);
    if (!openError.isEmpty()) {
        result.facts.problem = QStringLiteral("%1: %2").arg(QLatin1String(unreadable), openError);
        return result;
    }
    if (options.expectedSize >= 0
        && (source.size != options.expectedSize || source.modifiedNs != options.expectedModifiedNs)) {
        result.changed = true;
        return result;
    }
    Reading(source, result).run(path);
    result.cancelled = source.cancelled;
    const QPair<qint64, qint64> after = currentState(source);
    if (after.first != source.size || after.second != source.modifiedNs)
        result.changed = true;
    if (result.cancelled || result.changed) {
        result.facts = MediaFacts();
        result.poster.clear();
    }
    return result;
}
