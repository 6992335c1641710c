#include "media/mediafacts.h"

#include <QSqlRecord>
#include <QVariant>

#include <cmath>

namespace {

QString text(const QSqlRecord &record, const char *name)
{
    const QVariant value = record.value(QLatin1String(name));
    return value.isNull() ? QString() : value.toString();
}

int number(const QSqlRecord &record, const char *name, int unknown = 0)
{
    const QVariant value = record.value(QLatin1String(name));
    bool ok = false;
    const int result = value.toInt(&ok);
    return value.isNull() || !ok ? unknown : result;
}

} // namespace

MediaFacts MediaFacts::fromRecord(const QSqlRecord &record)
{
    MediaFacts facts;
    const QVariant duration = record.value(QLatin1String("duration_ms"));
    bool ok = false;
    const qint64 ms = duration.toLongLong(&ok);
    facts.durationMs = duration.isNull() || !ok ? -1 : ms;
    facts.width = number(record, "width");
    facts.height = number(record, "height");
    facts.frameRate = text(record, "frame_rate");
    facts.scan = text(record, "scan");
    facts.videoCodec = text(record, "video_codec");
    facts.audioCodec = text(record, "audio_codec");
    facts.audioChannels = number(record, "audio_channels");
    facts.audioRate = number(record, "audio_rate");
    const QVariant recorded = record.value(QLatin1String("recorded_at"));
    if (!recorded.isNull()) {
        // Read as text ("yyyy-MM-dd hh:mm:ss", or ISO with a 'T' when the
        // driver made a date of it), so no time zone of this computer can
        // shift the camera's clock.
        const QString value = recorded.toString();
        facts.recordedDate = QDate::fromString(value.left(10), Qt::ISODate);
        facts.recordedTime = QTime::fromString(value.mid(11, 8), QStringLiteral("HH:mm:ss"));
    }
    const QVariant offset = record.value(QLatin1String("recorded_utc_offset"));
    facts.hasUtcOffset = !offset.isNull() && offset.isValid();
    facts.utcOffsetMinutes = facts.hasUtcOffset ? offset.toInt() : 0;
    facts.startTimecode = text(record, "start_timecode");
    facts.problem = text(record, "problem");
    return facts;
}

QString MediaFacts::lengthText(qint64 ms)
{
    if (ms < 0)
        return QString();
    const qint64 seconds = ms / 1000;
    if (seconds < 3600)
        return QStringLiteral("%1:%2.%3")
            .arg(seconds / 60)
            .arg(seconds % 60, 2, 10, QLatin1Char('0'))
            .arg(ms % 1000, 3, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString MediaFacts::frameRateText(const QString &fraction)
{
    const int slash = int(fraction.indexOf(QLatin1Char('/')));
    bool numOk = false, denOk = slash < 0;
    const qint64 num = (slash < 0 ? fraction : fraction.left(slash)).toLongLong(&numOk);
    const qint64 den = slash < 0 ? 1 : fraction.mid(slash + 1).toLongLong(&denOk);
    if (!numOk || !denOk || num <= 0 || den <= 0)
        return QString();
    const double hundredths = std::round(double(num) * 100.0 / double(den));
    QString text = QString::number(hundredths / 100.0, 'f', 2);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

QString MediaFacts::utcOffsetText(int minutes)
{
    const int magnitude = std::abs(minutes);
    return QStringLiteral("%1%2:%3")
        .arg(minutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(magnitude / 60, 2, 10, QLatin1Char('0'))
        .arg(magnitude % 60, 2, 10, QLatin1Char('0'));
}

QString MediaFacts::formatText() const
{
    QStringList parts;
    if (width > 0 && height > 0) {
        QString size = QStringLiteral("%1x%2").arg(width).arg(height);
        if (scan == QLatin1String("interlaced"))
            size += QLatin1Char('i');
        else if (scan == QLatin1String("progressive"))
            size += QLatin1Char('p');
        parts << size;
    }
    const QString rate = frameRateText(frameRate);
    if (!rate.isEmpty())
        parts << rate;
    return parts.join(QLatin1Char(' '));
}

QString MediaFacts::recordedText() const
{
    if (!hasRecorded())
        return QString();
    QString text = recordedDate.toString(Qt::ISODate) + QLatin1Char(' ') + recordedTime.toString(QStringLiteral("HH:mm:ss"));
    if (hasUtcOffset)
        text += QLatin1Char(' ') + utcOffsetText(utcOffsetMinutes);
    return text;
}
