// Reading a clip's media: the camera's MDPM message in H.264 SEI units
// (a pure parser, with damaged and hostile input), the formatters the grid
// shows, and the reader on real clips made by the encoder, including
// random, cut and a few hundred damaged ones.

#include "cameraclip.h"
#include "media/camerametadata.h"
#include "media/mediafacts.h"
#include "media/mediareader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlField>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray entry(unsigned char tag, const char *hex)
{
    const QByteArray data = QByteArray::fromHex(hex);
    return mdpmEntry(tag, data.at(0), data.at(1), data.at(2), data.at(3));
}

// A camera's usual three entries: timecode 01:45:30:12, zone, 2024-03-17
// 14:05:09.
QList<QByteArray> usualEntries(unsigned char zone)
{
    return {entry(0x13, "12304501"), mdpmEntry(0x18, zone, 0x20, 0x24, 0x03), entry(0x19, "17140509")};
}

QByteArray withCount(const QList<QByteArray> &entries, int count)
{
    QByteArray payload = mdpmPayload(entries);
    payload[20] = char(count);
    return payload;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Video frames in a clip, as ffprobe counts them.
int videoFrames(const QString &path)
{
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-select_streams", "v", "-count_packets", "-show_entries",
                            "stream=nb_read_packets", "-of", "csv=p=0", path});
    probe.waitForFinished(60000);
    // The stream is listed once for itself and once in its program.
    return probe.readAllStandardOutput().trimmed().split('\n').first().toInt();
}

} // namespace

class TestMedia : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir work;

    QString clip(const QString &name, const CameraClip &spec)
    {
        const QString path = work.filePath(name);
        if (QFile::exists(path))
            return path;
        QString error;
        if (!spec.make(path, &error))
            qWarning() << error;
        return path;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(work.isValid());
        if (encoderPath().isEmpty())
            QFAIL("ffmpeg is needed to make the test clips (scripts/test installs it)");
    }

    // --- the camera's message ------------------------------------------------

    void userData_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("recorded");   // "yyyy-MM-dd HH:mm:ss", empty when not read
        QTest::addColumn<QString>("offset");     // minutes east of UTC, "none" when not read
        QTest::addColumn<QString>("timecode");

        QTest::newRow("east of UTC") << mdpmPayload(usualEntries(0x12)) << "2024-03-17 14:05:09" << "540"
                                     << "01:45:30:12";
        QTest::newRow("UTC") << mdpmPayload(usualEntries(0x00)) << "2024-03-17 14:05:09" << "0" << "01:45:30:12";
        QTest::newRow("west of UTC") << mdpmPayload(usualEntries(0x2a)) << "2024-03-17 14:05:09" << "-300"
                                     << "01:45:30:12";
        QTest::newRow("west, daylight saving time") << mdpmPayload(usualEntries(0x6a)) << "2024-03-17 14:05:09"
                                                    << "-240" << "01:45:30:12";
        QTest::newRow("half-hour zone") << mdpmPayload(usualEntries(0x0b)) << "2024-03-17 14:05:09" << "330"
                                        << "01:45:30:12";
        QTest::newRow("west half-hour zone") << mdpmPayload(usualEntries(0x27)) << "2024-03-17 14:05:09" << "-210"
                                             << "01:45:30:12";
        QTest::newRow("zone of 15 hours") << mdpmPayload(usualEntries(0x1e)) << "2024-03-17 14:05:09" << "none"
                                          << "01:45:30:12";
        QTest::newRow("bad BCD month") << mdpmPayload({entry(0x13, "12304501"), entry(0x18, "0020241a"),
                                                       entry(0x19, "17140509")})
                                       << "" << "none" << "01:45:30:12";
        QTest::newRow("month 13") << mdpmPayload({entry(0x13, "12304501"), entry(0x18, "00202413"),
                                                  entry(0x19, "17140509")})
                                  << "" << "none" << "01:45:30:12";
        QTest::newRow("30 February") << mdpmPayload({entry(0x13, "12304501"), entry(0x18, "00202402"),
                                                     entry(0x19, "30140509")})
                                     << "" << "none" << "01:45:30:12";
        QTest::newRow("hour 24") << mdpmPayload({entry(0x13, "12304501"), entry(0x18, "00202403"),
                                                 entry(0x19, "17240509")})
                                 << "" << "none" << "01:45:30:12";
        QTest::newRow("bad BCD frames") << mdpmPayload({entry(0x13, "1a304501"), entry(0x18, "00202403"),
                                                        entry(0x19, "17140509")})
                                        << "2024-03-17 14:05:09" << "0" << "";
        QTest::newRow("timecode second 75") << mdpmPayload({entry(0x13, "12754501"), entry(0x18, "00202403"),
                                                            entry(0x19, "17140509")})
                                            << "2024-03-17 14:05:09" << "0" << "";
        QTest::newRow("drop-frame flag") << mdpmPayload({entry(0x13, "52304501")}) << "" << "none" << "01:45:30:12";
        QTest::newRow("day before its month") << mdpmPayload({entry(0x13, "12304501"), entry(0x19, "17140509"),
                                                              entry(0x18, "00202403")})
                                              << "" << "none" << "01:45:30:12";
        QTest::newRow("timecode after the date") << mdpmPayload({entry(0x18, "00202403"), entry(0x19, "17140509"),
                                                                 entry(0x13, "12304501")})
                                                 << "2024-03-17 14:05:09" << "0" << "";
        QTest::newRow("other tags around") << mdpmPayload({entry(0x10, "ffffffff"), entry(0x13, "12304501"),
                                                           entry(0x14, "00000000"), entry(0x18, "00202403"),
                                                           entry(0x19, "17140509"), entry(0xe0, "01020304")})
                                           << "2024-03-17 14:05:09" << "0" << "01:45:30:12";
        QTest::newRow("count beyond the entries") << withCount(usualEntries(0x00), 200) << "2024-03-17 14:05:09"
                                                  << "0" << "01:45:30:12";
        QTest::newRow("count short of the entries") << withCount(usualEntries(0x00), 1) << "" << "none"
                                                    << "01:45:30:12";
        QTest::newRow("entry cut short") << mdpmPayload(usualEntries(0x00)).chopped(2) << "" << "none"
                                         << "01:45:30:12";
        QByteArray otherUuid = mdpmPayload(usualEntries(0x00));
        otherUuid[3] = 'x';
        QTest::newRow("another UUID") << otherUuid << "" << "none" << "";
        QByteArray notMdpm = mdpmPayload(usualEntries(0x00));
        notMdpm[16] = 'X';
        QTest::newRow("no MDPM after the UUID") << notMdpm << "" << "none" << "";
        QTest::newRow("only the UUID") << CameraMetadata::uuid() << "" << "none" << "";
        QTest::newRow("empty") << QByteArray() << "" << "none" << "";
    }

    void userData()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, recorded);
        QFETCH(QString, offset);
        QFETCH(QString, timecode);
        const CameraMetadata found = CameraMetadata::fromUserData(payload);
        QCOMPARE(found.hasRecorded() ? found.date.toString(Qt::ISODate) + ' ' + found.time.toString("HH:mm:ss")
                                     : QString(),
                 recorded);
        QCOMPARE(found.hasUtcOffset ? QString::number(found.utcOffsetMinutes) : QStringLiteral("none"), offset);
        QCOMPARE(found.timecodeText(), timecode);
        // The same message inside a NAL unit gives the same, also when its
        // bytes needed emulation prevention.
        const CameraMetadata inNal = CameraMetadata::fromSeiNal(seiNal(payload));
        QCOMPARE(inNal.timecodeText(), payload.size() > 20 ? timecode : QString());
        QCOMPARE(inNal.hasRecorded(), found.hasRecorded());
    }

    void dropFrameFlag()
    {
        QVERIFY(CameraMetadata::fromUserData(mdpmPayload({entry(0x13, "52304501")})).dropFrame);
        QVERIFY(!CameraMetadata::fromUserData(mdpmPayload({entry(0x13, "12304501")})).dropFrame);
    }

    void seiUnits_data()
    {
        QTest::addColumn<QByteArray>("nal");
        QTest::addColumn<QString>("timecode");
        const QByteArray message = mdpmPayload(usualEntries(0x00));
        // Zeros throughout: the stored unit holds 00 00 03 sequences.
        const QByteArray zeros = mdpmPayload({entry(0x13, "00000000"), entry(0x18, "00200001"), entry(0x19, "01000000")});
        QTest::newRow("one message") << seiNal(message) << "01:45:30:12";
        QVERIFY(seiNal(zeros).contains(QByteArray::fromHex("000003")));
        QTest::newRow("emulation prevention bytes") << seiNal(zeros) << "00:00:00:00";
        // A picture timing message first, then the camera's.
        const QByteArray two = QByteArray::fromHex("0106") + QByteArray::fromHex("010203040506") + char(5)
            + char(message.size()) + message + char(0x80);
        QTest::newRow("after another message") << QByteArray(1, 6) + escapeNal(two) << "01:45:30:12";
        QByteArray tooLong = seiNal(message);
        tooLong[2] = char(0xf0);   // a size beyond the unit
        QTest::newRow("size beyond the unit") << tooLong << "";
        QTest::newRow("type 5 + 255") << QByteArray::fromHex("06ff05") + char(message.size()) + message + char(0x80)
                                      << "";
        QTest::newRow("size in several bytes")
            << seiNal(message + QByteArray(300, 'p')) << "01:45:30:12";
        QTest::newRow("not an SEI unit") << QByteArray(1, 0x65) + seiNal(message).mid(1) << "";
        QTest::newRow("only the header") << QByteArray(1, 6) << "";
        QTest::newRow("all 0xff") << QByteArray(1, 6) + QByteArray(5000, char(0xff)) << "";
    }

    void seiUnits()
    {
        QFETCH(QByteArray, nal);
        QFETCH(QString, timecode);
        QCOMPARE(CameraMetadata::fromSeiNal(nal).timecodeText(), timecode);
    }

    void accessUnits_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("lengthSize");
        QTest::addColumn<QString>("timecode");
        const QByteArray sei = seiNal(mdpmPayload(usualEntries(0x00)));
        const QByteArray sps = QByteArray::fromHex("6742c01e");
        const QByteArray pps = QByteArray::fromHex("68ce3c80");
        const QByteArray slice = QByteArray::fromHex("65888400");
        const QByteArray code = QByteArray::fromHex("00000001");
        QTest::newRow("start codes") << code + sps + code + pps + code + sei + code + slice << 0 << "01:45:30:12";
        QTest::newRow("three-byte start codes")
            << QByteArray::fromHex("000001") + sei + QByteArray::fromHex("000001") + slice << 0 << "01:45:30:12";
        QTest::newRow("after the slice: not read") << code + slice + code + sei << 0 << "";
        auto sized = [](const QByteArray &nal, int bytes) {
            QByteArray out;
            for (int i = bytes - 1; i >= 0; --i)
                out.append(char((nal.size() >> (8 * i)) & 0xff));
            return out + nal;
        };
        QTest::newRow("MP4 lengths of 4") << sized(sps, 4) + sized(sei, 4) + sized(slice, 4) << 4 << "01:45:30:12";
        QTest::newRow("MP4 lengths of 2") << sized(sei, 2) + sized(slice, 2) << 2 << "01:45:30:12";
        QTest::newRow("MP4 length beyond the data") << QByteArray::fromHex("7fffffff") + sei << 4 << "";
        QTest::newRow("length size 7") << sized(sei, 4) << 7 << "";
        QTest::newRow("empty") << QByteArray() << 0 << "";
    }

    void accessUnits()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, lengthSize);
        QFETCH(QString, timecode);
        QCOMPARE(CameraMetadata::fromAccessUnit(data, lengthSize).timecodeText(), timecode);
    }

    void unescape_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("nothing to remove") << QByteArray::fromHex("0102") << QByteArray::fromHex("0102");
        QTest::newRow("00 00 03 01") << QByteArray::fromHex("00000301") << QByteArray::fromHex("000001");
        QTest::newRow("00 00 03 03") << QByteArray::fromHex("00000303") << QByteArray::fromHex("000003");
        QTest::newRow("two in a row") << QByteArray::fromHex("0000030000030000") << QByteArray::fromHex("000000000000");
        QTest::newRow("03 at the end") << QByteArray::fromHex("000003") << QByteArray::fromHex("0000");
        QTest::newRow("single zero before 03") << QByteArray::fromHex("000301") << QByteArray::fromHex("000301");
    }

    void unescape()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, payload);
        QCOMPARE(CameraMetadata::unescape(stored), payload);
        QCOMPARE(CameraMetadata::unescape(escapeNal(payload)), payload);
    }

    // Random units and random damage to a good one: never a crash, never a
    // read outside the input (run under a sanitizer to see the latter).
    void randomInputIsHarmless()
    {
        QRandomGenerator random(15);
        const QByteArray good = QByteArray::fromHex("00000001") + seiNal(mdpmPayload(usualEntries(0x2a)))
            + QByteArray::fromHex("0000000165888400");
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 20000; ++i) {
            QByteArray data;
            if (i % 2) {
                data = good;
                for (int flips = 1 + random.bounded(6); flips > 0; --flips)
                    data[random.bounded(int(data.size()))] = char(random.bounded(256));
                data.truncate(random.bounded(int(data.size()) + 1));
            } else {
                data.resize(random.bounded(400));
                for (char &byte : data)
                    byte = char(random.bounded(256));
            }
            const CameraMetadata fromUnit = CameraMetadata::fromAccessUnit(data, 0);
            const CameraMetadata fromSized = CameraMetadata::fromAccessUnit(data, 1 + i % 4);
            const CameraMetadata fromNal = CameraMetadata::fromSeiNal(data);
            // Whatever is read is a real date and timecode.
            for (const CameraMetadata &found : {fromUnit, fromSized, fromNal}) {
                QVERIFY(!found.hasRecorded() || found.date.isValid());
                QVERIFY(found.timecodeText().isEmpty() || found.timecodeText().size() == 11);
            }
        }
        QVERIFY2(clock.elapsed() < 20000, "parsing 20,000 small units took longer than 20 s");
    }

    void rewindTimecode_data()
    {
        QTest::addColumn<QByteArray>("timecode");   // BCD: frames, seconds, minutes, hours (bit 6 of frames: drop)
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("start");
        QTest::newRow("within a second") << QByteArray::fromHex("15304501") << 15 << 30 << "01:45:30:00";
        QTest::newRow("across a minute") << QByteArray::fromHex("05000201") << 15 << 30 << "01:01:59:20";
        QTest::newRow("across midnight") << QByteArray::fromHex("05000000") << 10 << 30 << "23:59:59:25";
        QTest::newRow("25 frames") << QByteArray::fromHex("00100000") << 50 << 25 << "00:00:08:00";
        QTest::newRow("drop frame, over a dropped minute") << QByteArray::fromHex("42000100") << 1 << 30
                                                           << "00:00:59:29";
        QTest::newRow("drop frame, tenth minute kept") << QByteArray::fromHex("40001000") << 1 << 30 << "00:09:59:29";
        QTest::newRow("drop frame, back three") << QByteArray::fromHex("42000100") << 3 << 30 << "00:00:59:27";
        QTest::newRow("frames beyond the rate stay") << QByteArray::fromHex("29000000") << 10 << 25 << "00:00:00:29";
    }

    void rewindTimecode()
    {
        QFETCH(QByteArray, timecode);
        QFETCH(int, frames);
        QFETCH(int, rate);
        QFETCH(QString, start);
        CameraMetadata found = CameraMetadata::fromUserData(
            mdpmPayload({mdpmEntry(0x13, timecode.at(0), timecode.at(1), timecode.at(2), timecode.at(3))}));
        QVERIFY(found.hasTimecode);
        found.rewindTimecode(frames, rate);
        QCOMPARE(found.timecodeText(), start);
    }

    // --- what the grid shows -----------------------------------------------

    void lengthText_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("unknown") << qint64(-1) << "";
        QTest::newRow("zero") << qint64(0) << "0:00.000";
        QTest::newRow("3003 ms") << qint64(3003) << "0:03.003";
        QTest::newRow("minutes") << qint64(12 * 60000 + 3500) << "12:03.500";
        QTest::newRow("just under an hour") << qint64(3599999) << "59:59.999";
        QTest::newRow("an hour") << qint64(3600000) << "1:00:00";
        QTest::newRow("hours") << qint64((2 * 3600 + 2 * 60 + 3) * 1000 + 999) << "2:02:03";
    }

    void lengthText()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(MediaFacts::lengthText(ms), text);
    }

    void frameRateText_data()
    {
        QTest::addColumn<QString>("fraction");
        QTest::addColumn<QString>("text");
        QTest::newRow("29.97") << "30000/1001" << "29.97";
        QTest::newRow("59.94") << "60000/1001" << "59.94";
        QTest::newRow("23.976") << "24000/1001" << "23.98";
        QTest::newRow("25") << "25/1" << "25";
        QTest::newRow("12.5") << "25/2" << "12.5";
        QTest::newRow("a whole number") << "50" << "50";
        QTest::newRow("zero") << "0/1" << "";
        QTest::newRow("no denominator") << "30000/0" << "";
        QTest::newRow("garbage") << "fast" << "";
        QTest::newRow("empty") << "" << "";
    }

    void frameRateText()
    {
        QFETCH(QString, fraction);
        QFETCH(QString, text);
        QCOMPARE(MediaFacts::frameRateText(fraction), text);
    }

    void formatText_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("scan");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("text");
        QTest::newRow("1080i") << 1920 << 1080 << "interlaced" << "30000/1001" << "1920x1080i 29.97";
        QTest::newRow("720p") << 1280 << 720 << "progressive" << "60000/1001" << "1280x720p 59.94";
        QTest::newRow("unknown scan") << 1440 << 1080 << "" << "25/1" << "1440x1080 25";
        QTest::newRow("no rate") << 720 << 576 << "interlaced" << "" << "720x576i";
        QTest::newRow("nothing") << 0 << 0 << "" << "" << "";
    }

    void formatText()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QString, scan);
        QFETCH(QString, rate);
        QFETCH(QString, text);
        MediaFacts facts;
        facts.width = width;
        facts.height = height;
        facts.scan = scan;
        facts.frameRate = rate;
        QCOMPARE(facts.formatText(), text);
    }

    void recordedText_data()
    {
        QTest::addColumn<QString>("when");
        QTest::addColumn<bool>("hasOffset");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QString>("text");
        QTest::newRow("west") << "2024-03-17 14:05:09" << true << -300 << "2024-03-17 14:05:09 -05:00";
        QTest::newRow("half hour east") << "2024-03-17 14:05:09" << true << 330 << "2024-03-17 14:05:09 +05:30";
        QTest::newRow("UTC") << "1999-12-31 23:59:59" << true << 0 << "1999-12-31 23:59:59 +00:00";
        QTest::newRow("west half hour") << "2024-03-17 14:05:09" << true << -210 << "2024-03-17 14:05:09 -03:30";
        QTest::newRow("no offset") << "2024-03-17 14:05:09" << false << 0 << "2024-03-17 14:05:09";
        QTest::newRow("no date") << "" << true << 60 << "";
    }

    void recordedText()
    {
        QFETCH(QString, when);
        QFETCH(bool, hasOffset);
        QFETCH(int, offset);
        QFETCH(QString, text);
        MediaFacts facts;
        facts.recordedDate = QDate::fromString(when.left(10), Qt::ISODate);
        facts.recordedTime = QTime::fromString(when.mid(11), "HH:mm:ss");
        facts.hasUtcOffset = hasOffset;
        facts.utcOffsetMinutes = offset;
        QCOMPARE(facts.recordedText(), text);
    }

    // As the lead's statements give a row: by column name, NULL for unknown.
    void factsFromARecord()
    {
        QSqlRecord record;
        auto add = [&](const char *name, const QVariant &value) {
            QSqlField field(QLatin1String(name), value.metaType());
            field.setValue(value);
            record.append(field);
        };
        add("duration_ms", qint64(3003));
        add("width", 1920);
        add("height", 1080);
        add("frame_rate", QStringLiteral("30000/1001"));
        add("scan", QStringLiteral("interlaced"));
        add("video_codec", QStringLiteral("h264"));
        add("audio_codec", QStringLiteral("ac3"));
        add("audio_channels", 2);
        add("audio_rate", 48000);
        add("recorded_at", QStringLiteral("2024-03-10 02:30:00"));   // a time some zones skip
        add("recorded_utc_offset", -300);
        add("start_timecode", QStringLiteral("01:45:30:00"));
        add("problem", QVariant(QMetaType::fromType<QString>()));
        const MediaFacts facts = MediaFacts::fromRecord(record);
        QCOMPARE(facts.lengthText(), QStringLiteral("0:03.003"));
        QCOMPARE(facts.formatText(), QStringLiteral("1920x1080i 29.97"));
        QCOMPARE(facts.recordedText(), QStringLiteral("2024-03-10 02:30:00 -05:00"));
        QCOMPARE(facts.timecodeText(), QStringLiteral("01:45:30:00"));
        QCOMPARE(facts.audioChannels, 2);
        QVERIFY(facts.problem.isEmpty());

        QSqlRecord empty;
        for (const char *name : {"duration_ms", "width", "recorded_at", "recorded_utc_offset", "problem"}) {
            QSqlField field(QLatin1String(name), QMetaType::fromType<QString>());
            field.clear();
            empty.append(field);
        }
        empty.setValue("problem", QStringLiteral("not a video"));
        const MediaFacts none = MediaFacts::fromRecord(empty);
        QCOMPARE(none.durationMs, qint64(-1));
        QVERIFY(none.lengthText().isEmpty());
        QVERIFY(none.recordedText().isEmpty());
        QVERIFY(!none.hasUtcOffset);
        QCOMPARE(none.problem, QStringLiteral("not a video"));
    }

    // --- real clips ----------------------------------------------------------

    void readsCameraClips_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("interlaced");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<unsigned char>("zone");
        QTest::addColumn<int>("messageFrom");   // -1: no message
        QTest::addColumn<QString>("sampleAspect");
        QTest::addColumn<QString>("recorded");
        QTest::addColumn<QString>("timecode");
        QTest::addColumn<int>("posterHeight");

        QTest::newRow("1080i, zone west of UTC")
            << "west.MTS" << 1920 << 1080 << true << "30000/1001" << (unsigned char)0x2a << 0 << "1/1"
            << "2024-03-17 14:05:09 -05:00" << "01:45:30:00" << 180;
        QTest::newRow("720p, half-hour zone")
            << "half.MTS" << 1280 << 720 << false << "60000/1001" << (unsigned char)0x0b << 0 << "1/1"
            << "2024-03-17 14:05:09 +05:30" << "01:45:30:00" << 180;
        QTest::newRow("message only from the second GOP")
            << "later.MTS" << 1920 << 1080 << true << "30000/1001" << (unsigned char)0x00 << 15 << "1/1"
            << "2024-03-17 14:05:09 +00:00" << "01:45:30:00" << 180;
        QTest::newRow("no message") << "none.MTS" << 1280 << 720 << false << "25/1" << (unsigned char)0 << -1 << "1/1"
                                    << "" << "" << 180;
        QTest::newRow("1440x1080 with 4:3 pixels")
            << "hdv.MTS" << 1440 << 1080 << true << "30000/1001" << (unsigned char)0x12 << 0 << "4/3"
            << "2024-03-17 14:05:09 +09:00" << "01:45:30:00" << 180;
        QTest::newRow("720x576 with 16:15 pixels")
            << "sd.MTS" << 720 << 576 << true << "25/1" << (unsigned char)0x02 << 0 << "16/15"
            << "2024-03-17 14:05:09 +01:00" << "01:45:30:00" << 240;
    }

    void readsCameraClips()
    {
        QFETCH(QString, name);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(bool, interlaced);
        QFETCH(QString, rate);
        QFETCH(unsigned char, zone);
        QFETCH(int, messageFrom);
        QFETCH(QString, sampleAspect);
        QFETCH(QString, recorded);
        QFETCH(QString, timecode);
        QFETCH(int, posterHeight);
        CameraClip spec;
        spec.width = width;
        spec.height = height;
        spec.interlaced = interlaced;
        spec.rate = rate;
        spec.zone = zone;
        spec.message = messageFrom >= 0;
        spec.messageFromFrame = qMax(0, messageFrom);
        spec.sampleAspect = sampleAspect;
        spec.timecodeRate = rate == "25/1" ? 25 : 30;
        spec.seconds = 2;
        const QString path = clip(name, spec);

        const MediaReading reading = MediaReader::read(path);
        const MediaFacts &facts = reading.facts;
        QVERIFY2(facts.problem.isEmpty(), qPrintable(facts.problem));
        QCOMPARE(facts.width, width);
        QCOMPARE(facts.height, height);
        QCOMPARE(facts.scan, interlaced ? QStringLiteral("interlaced") : QStringLiteral("progressive"));
        QCOMPARE(facts.frameRate, rate);
        QCOMPARE(facts.videoCodec, QStringLiteral("h264"));
        QCOMPARE(facts.audioCodec, QStringLiteral("ac3"));
        QCOMPARE(facts.audioChannels, 2);
        QCOMPARE(facts.audioRate, 48000);
        // First frame to last, plus one frame.
        const int frames = videoFrames(path);
        const QStringList fraction = rate.split('/');
        QCOMPARE(facts.durationMs, qRound64(frames * 1000.0 * fraction.at(1).toDouble() / fraction.at(0).toDouble()));
        QCOMPARE(facts.recordedText(), recorded);
        QCOMPARE(facts.startTimecode, timecode);

        QCOMPARE(reading.posterWidth, 320);
        QCOMPARE(reading.posterHeight, posterHeight);
        QVERIFY(reading.poster.startsWith("\xff\xd8\xff"));
        QVERIFY(reading.poster.size() <= MediaReader::posterMaxBytes);
        QVERIFY(!reading.changed);
        // The encoder itself reads it as a picture of that shape.
        const QString jpeg = work.filePath(name + ".jpg");
        QVERIFY(writeFile(jpeg, reading.poster));
        QProcess probe;
        probe.start("ffprobe", {"-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0", jpeg});
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.readAllStandardOutput().trimmed(), QStringLiteral("320,%1").arg(posterHeight).toUtf8());
    }

    // An interlaced poster shows one field. Here every top field is white
    // and every bottom field black: one field gives a white or a black
    // poster, both blended a grey one.
    void posterOfInterlacedClipIsOneField()
    {
        CameraClip spec;
        spec.width = 720;
        spec.height = 576;
        spec.rate = "25/1";
        spec.seconds = 1;
        spec.source = "nullsrc=size=%1:rate=%2,geq=lum='if(mod(N,2),16,235)':cb=128:cr=128";
        const QString path = clip("fields.MTS", spec);
        const MediaReading reading = MediaReader::read(path);
        QVERIFY2(reading.facts.problem.isEmpty(), qPrintable(reading.facts.problem));
        QCOMPARE(reading.facts.scan, QStringLiteral("interlaced"));
        const QString jpeg = work.filePath("fields.jpg");
        QVERIFY(writeFile(jpeg, reading.poster));
        QProcess probe;
        probe.setProcessChannelMode(QProcess::MergedChannels);
        probe.start("ffmpeg", {"-hide_banner", "-nostdin", "-i", jpeg, "-vf", "signalstats,metadata=print:key=lavfi.signalstats.YAVG",
                               "-f", "null", "-"});
        QVERIFY(probe.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(probe.readAll());
        const QRegularExpressionMatch match = QRegularExpression("YAVG=([0-9.]+)").match(out);
        QVERIFY2(match.hasMatch(), qPrintable(out));
        const double average = match.captured(1).toDouble();
        QVERIFY2(average < 40 || average > 215, qPrintable(QString::number(average)));
    }

    void unreadableInput_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("problem");   // the start of the reason
        QTest::newRow("random bytes") << "random" << "";
        QTest::newRow("empty file") << "empty" << "not a video";
        QTest::newRow("text") << "text" << "not a video";
        QTest::newRow("audio only") << "audio" << "no video stream";
        QTest::newRow("missing file") << "missing" << "unreadable";
        QTest::newRow("a folder") << "folder" << "unreadable";
    }

    void unreadableInput()
    {
        QFETCH(QString, kind);
        QFETCH(QString, problem);
        QString path = work.filePath("odd-" + kind);
        if (kind == "random") {
            QByteArray bytes(3 * 1024 * 1024, Qt::Uninitialized);
            QRandomGenerator random(3);
            for (char &byte : bytes)
                byte = char(random.bounded(256));
            QVERIFY(writeFile(path, bytes));
        } else if (kind == "empty") {
            QVERIFY(writeFile(path, QByteArray()));
        } else if (kind == "text") {
            QVERIFY(writeFile(path, QByteArray("Scene 4, take 2: the harbour at dawn.\n").repeated(100)));
        } else if (kind == "audio") {
            QProcess encoder;
            encoder.start("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                     "sine=duration=1", "-c:a", "ac3", "-f", "mpegts", path});
            QVERIFY(encoder.waitForFinished(60000) && encoder.exitCode() == 0);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(path));
        }
        QElapsedTimer clock;
        clock.start();
        const MediaReading reading = MediaReader::read(path);
        QVERIFY(clock.elapsed() < 11000);
        QVERIFY2(!reading.facts.problem.isEmpty(), "a clip that is no video gets a reason");
        QVERIFY2(reading.facts.problem.startsWith(problem), qPrintable(reading.facts.problem));
        QVERIFY(reading.poster.isEmpty());
        QCOMPARE(reading.facts.width, 0);
    }

    void cutClipKeepsItsFirstHalf()
    {
        CameraClip spec;
        spec.seconds = 4;
        const QString whole = clip("long.MTS", spec);
        const QByteArray content = readFile(whole);
        const QString cut = work.filePath("cut.MTS");
        QVERIFY(writeFile(cut, content.left(content.size() / 2 + 77)));
        const MediaReading full = MediaReader::read(whole);
        const MediaReading half = MediaReader::read(cut);
        QVERIFY2(half.facts.problem.isEmpty(), qPrintable(half.facts.problem));
        QVERIFY(half.facts.durationMs > 1000 && half.facts.durationMs < full.facts.durationMs - 1000);
        QCOMPARE(half.facts.startTimecode, QStringLiteral("01:45:30:00"));
        QVERIFY(!half.poster.isEmpty());
    }

    // A few hundred clips with random bytes flipped in their first 256 KiB:
    // no crash, no hang, and each gets facts or a reason.
    void damagedClipsNeverCrashOrHang()
    {
        CameraClip spec;
        spec.width = 640;
        spec.height = 360;
        spec.seconds = 2;
        spec.keyInterval = 10;
        const QByteArray original = readFile(clip("small.MTS", spec));
        QVERIFY(original.size() > 64 * 1024);
        QRandomGenerator random(1515);
        const QString path = work.filePath("damaged.MTS");
        int withFacts = 0, withReason = 0;
        qint64 slowest = 0;
        for (int i = 0; i < 300; ++i) {
            QByteArray damaged = original;
            const int span = int(qMin<qsizetype>(damaged.size(), 256 * 1024));
            // Mostly a few bytes; every tenth clip loses its whole start.
            const int flips = i % 10 == 0 ? span : 1 + random.bounded(i % 3 == 0 ? 2000 : 40);
            for (int flip = 0; flip < flips; ++flip)
                damaged[i % 10 == 0 ? flip : random.bounded(span)] = char(random.bounded(256));
            QVERIFY(writeFile(path, damaged));
            QElapsedTimer clock;
            clock.start();
            const MediaReading reading = MediaReader::read(path);
            slowest = qMax(slowest, clock.elapsed());
            if (reading.facts.problem.isEmpty()) {
                QVERIFY(reading.facts.width > 0 && reading.facts.height > 0);
                QVERIFY(reading.poster.size() <= MediaReader::posterMaxBytes);
                ++withFacts;
            } else {
                ++withReason;
            }
        }
        qInfo("damaged clips: %d with facts, %d with a reason, slowest %lld ms", withFacts, withReason, slowest);
        QCOMPARE(withFacts + withReason, 300);
        QVERIFY(slowest < 11000);
    }

    void boundedInTimeAndBytes()
    {
        CameraClip spec;
        spec.seconds = 2;
        const QString path = clip("west.MTS", spec);
        MediaReader::Options options;
        options.timeLimitMs = 0;
        QElapsedTimer clock;
        clock.start();
        const MediaReading late = MediaReader::read(path, options);
        QVERIFY(clock.elapsed() < 1000);
        QVERIFY2(late.facts.problem.contains("took longer"), qPrintable(late.facts.problem));

        options = MediaReader::Options();
        options.byteLimit = 4096;
        const MediaReading few = MediaReader::read(path, options);
        QVERIFY2(!few.facts.problem.isEmpty(), "4 KiB hold no picture");
        QVERIFY(few.poster.isEmpty());
    }

    void changedFileGivesNothing()
    {
        CameraClip spec;
        spec.seconds = 2;
        const QString path = clip("west.MTS", spec);
        MediaReader::Options options;
        options.expectedSize = QFileInfo(path).size() + 1;
        const MediaReading reading = MediaReader::read(path, options);
        QVERIFY(reading.changed);
        QVERIFY(reading.facts.problem.isEmpty());
        QCOMPARE(reading.facts.width, 0);
        QVERIFY(reading.poster.isEmpty());
    }

    void cancelStopsAtOnce()
    {
        CameraClip spec;
        spec.seconds = 2;
        const QString path = clip("west.MTS", spec);
        std::atomic_bool cancel{true};
        MediaReader::Options options;
        options.cancel = &cancel;
        const MediaReading reading = MediaReader::read(path, options);
        QVERIFY(reading.cancelled);
        QCOMPARE(reading.facts.width, 0);
    }
};

QTEST_GUILESS_MAIN(TestMedia)
#include "tst_media.moc"
