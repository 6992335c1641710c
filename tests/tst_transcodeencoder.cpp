// Every preset through the real encoder, on a tiny generated camera-like
// clip (H.264 4:2:0 with AC-3 in MPEG-TS, 320x180, 1 s), with ffprobe
// reading back what was written. The queue runs each job as the window
// does: into a temporary name, renamed when the encoder succeeded.

#include "transcode/encoderlocator.h"
#include "transcode/encoderrunner.h"
#include "transcode/partialfile.h"
#include "transcode/transcodejob.h"
#include "transcode/transcodequeue.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const char clipPath[] = "raw/Wedding/CardA/CLIP7.MTS";
constexpr int jobTimeoutMs = 60000;
} // namespace

class TestTranscodeEncoder : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QTemporaryDir noStart;
    QString encoder;
    QString probe;

    TranscodeJob job(const QString &preset) const
    {
        const QString outputRoot = root.path() + "/transcode";
        if (preset == "mp4")
            return mp4Job(1280, 720, 6000, clipPath, outputRoot);
        if (preset == "dnx60")
            return dnxJob(1280, 720, 60, clipPath, outputRoot);
        if (preset == "dnx36")
            return dnxJob(1920, 1080, 36, clipPath, outputRoot);
        return dvJob(clipPath, outputRoot);
    }

    EncoderOutcome encode(const TranscodeJob &job, qint64 *ms, int *percent)
    {
        QProcess process;
        process.setWorkingDirectory(root.path());   // the paths are relative to the local root
        EncoderRunner runner(&process);
        QSignalSpy finished(&runner, &EncoderRunner::finished);
        QElapsedTimer clock;
        clock.start();
        runner.start(encoder, job.arguments, job.output);
        if (finished.isEmpty() && !finished.wait(jobTimeoutMs)) {
            runner.stop(1000);
            return EncoderOutcome{EncoderOutcome::Stopped, -1, "timed out", {}, false};
        }
        *ms = clock.elapsed();
        *percent = runner.percent();
        return finished.first().first().value<EncoderOutcome>();
    }

private slots:
    void initTestCase()
    {
        const EncoderLocation location = findEncoder(QDir(noStart.path()));
        if (!location.found())
            QFAIL(qPrintable(location.describe()));
        encoder = location.program;
        probe = QStandardPaths::findExecutable("ffprobe");
        if (probe.isEmpty())
            QFAIL("ffprobe is not on PATH: install the Debian package ffmpeg.");

        QVERIFY(QDir(root.path()).mkpath("raw/Wedding/CardA"));
        QProcess make;
        make.setWorkingDirectory(root.path());
        make.setStandardInputFile(QProcess::nullDevice());
        make.start(encoder, {"-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                             "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25:duration=1",
                             "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
                             "-t", "1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                             "-c:a", "ac3", "-b:a", "128k", "-f", "mpegts", clipPath});
        QVERIFY(make.waitForFinished(jobTimeoutMs));
        QVERIFY2(make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0,
                 make.readAllStandardError().constData());
    }

    void presets_data()
    {
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("videoCodec");
        QTest::addColumn<QString>("audioCodec");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("container");
        QTest::addColumn<qint64>("videoRate");   // bits per second, 0: not checked

        QTest::newRow("720p MP4 6 Mb") << "mp4" << "mpeg4" << "mp3" << 1280 << 720 << "mov,mp4,m4a,3gp,3g2,mj2"
                                       << qint64(0);
        QTest::newRow("720p DNX-HD 60 Mb") << "dnx60" << "dnxhd" << "pcm_s16le" << 1280 << 720
                                           << "mov,mp4,m4a,3gp,3g2,mj2" << qint64(60000000);
        QTest::newRow("1080p DNX-HD 36 Mb") << "dnx36" << "dnxhd" << "pcm_s16le" << 1920 << 1080
                                            << "mov,mp4,m4a,3gp,3g2,mj2" << qint64(36000000);
        QTest::newRow("480p DV 25 Mb") << "dv" << "dvvideo" << "pcm_s16le" << 720 << 480 << "dv" << qint64(25000000);
    }

    void presets()
    {
        QFETCH(QString, preset);
        QFETCH(QString, videoCodec);
        QFETCH(QString, audioCodec);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QString, container);
        QFETCH(qint64, videoRate);

        TranscodeJob transcode = job(preset);
        // The format is forced, so the temporary name's ".partial" does not
        // decide it.
        transcode.setOutput(transcode.output, PartialFile::pathFor(transcode.output));
        QFile::remove(transcode.output);
        QProcess process;
        process.setWorkingDirectory(root.path());   // the paths are relative to the local root
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(noStart.path()));
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        TranscodeQueue::Entry entry;
        entry.job = transcode;
        QElapsedTimer clock;
        clock.start();
        queue.add({entry});
        queue.start();
        if (drained.isEmpty() && !drained.wait(jobTimeoutMs))
            queue.stop(1000);
        const TranscodeQueue::Entry &ended = queue.entry(0);
        QVERIFY2(ended.state == TranscodeQueue::Done,
                 qPrintable(TranscodeQueue::stateText(ended) + "\n" + ended.details.join('\n')));
        qInfo("%s encoded in %lld ms", qPrintable(preset), clock.elapsed());
        const int percent = queue.percent();
        QVERIFY2(percent >= 90, qPrintable(QString::number(percent)));
        QVERIFY(!QFileInfo::exists(transcode.partial));

        QProcess ffprobe;
        ffprobe.start(probe, {"-v", "error", "-show_entries",
                              "stream=codec_type,codec_name,width,height,bit_rate:format=format_name",
                              "-of", "json", transcode.output});
        QVERIFY(ffprobe.waitForFinished(30000));
        QCOMPARE(ffprobe.exitCode(), 0);
        const QJsonObject info = QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
        QCOMPARE(info["format"].toObject()["format_name"].toString(), container);
        QJsonObject video;
        QJsonObject audio;
        for (const QJsonValue &stream : info["streams"].toArray()) {
            if (stream["codec_type"].toString() == "video")
                video = stream.toObject();
            else if (stream["codec_type"].toString() == "audio")
                audio = stream.toObject();
        }
        QCOMPARE(video["codec_name"].toString(), videoCodec);
        QCOMPARE(video["width"].toInt(), width);
        QCOMPARE(video["height"].toInt(), height);
        QCOMPARE(audio["codec_name"].toString(), audioCodec);
        if (videoRate > 0) {
            // The rate the box promises, not 60 or 36 bits per second.
            const qint64 rate = video["bit_rate"].toString().toLongLong();
            QVERIFY2(rate > videoRate * 85 / 100 && rate < videoRate * 115 / 100, qPrintable(QString::number(rate)));
        }
    }

    void anExistingOutputIsNeitherOverwrittenNorWaitedFor()
    {
        // The encoder asks before it overwrites; with nothing to read the
        // answer from, it must give up instead of waiting forever.
        const TranscodeJob transcode = job("mp4");
        QVERIFY(QDir().mkpath(transcode.outputDir));
        QFile file(transcode.output);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("earlier");
        file.close();
        qint64 ms = 0;
        int percent = -1;
        const EncoderOutcome outcome = encode(transcode, &ms, &percent);
        QCOMPARE(int(outcome.status), int(EncoderOutcome::ExitedWithError));
        QVERIFY(!outcome.outputRemoved);
        QVERIFY2(ms < 20000, qPrintable(QString::number(ms)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("earlier"));
    }
};

QTEST_GUILESS_MAIN(TestTranscodeEncoder)
#include "tst_transcodeencoder.moc"
