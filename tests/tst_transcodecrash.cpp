// A transcode run that dies with the machine: the real client, run in a
// child process with the real encoder, is killed with SIGKILL while the
// encoder writes. Nothing may be left under a final name, no encoder may go
// on running, and the next run must encode the clip. Two cards that repeat
// a clip number both get their outputs, which ffprobe reads.
//
// The encoder is the real one behind a small script in the start folder's
// ffmpeg/bin that records its process id and its parent's (the client's)
// and reads the input at its own speed (-re), so a 6 s clip takes 6 s to
// encode and the kill surely comes while the encoder writes.

#include "testsupport.h"
#include "transcode/outputnamemap.h"
#include "transcode/partialfile.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <csignal>

namespace {

constexpr int clipSeconds = 6;

QStringList filesBelow(const QString &dir, const QString &suffix)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(suffix))
            found << path;
    }
    return found;
}

} // namespace

class TestTranscodeCrash : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QTemporaryDir start;
    QTemporaryDir root;
    QString pidsFile;
    QString probe;
    QString leftover;   // what the killed run left, for the next run

    QString out(const QString &relative) const { return root.path() + "/transcode/720p/MP4/" + relative; }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment extra;
        extra.insert("TAVELO_ENCODER_PIDS", pidsFile);
        return extra;
    }

    // "encoder-pid client-pid" per encoder started.
    QList<QPair<qint64, qint64>> encoders() const
    {
        QList<QPair<qint64, qint64>> result;
        QFile file(pidsFile);
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() == 2)
                result << qMakePair(fields.at(0).toLongLong(), fields.at(1).toLongLong());
        }
        return result;
    }

    QJsonObject probeFile(const QString &path)
    {
        QProcess ffprobe;
        ffprobe.start(probe, {"-v", "error", "-show_entries", "stream=codec_type,codec_name,width,height:format=format_name,duration",
                              "-of", "json", path});
        if (!ffprobe.waitForFinished(30000) || ffprobe.exitCode() != 0)
            return QJsonObject{{"error", QString::fromLocal8Bit(ffprobe.readAllStandardError())}};
        return QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        const QString encoder = QStandardPaths::findExecutable("ffmpeg");
        probe = QStandardPaths::findExecutable("ffprobe");
        if (encoder.isEmpty() || probe.isEmpty())
            QFAIL("ffmpeg and ffprobe must be on PATH: install the Debian package ffmpeg.");
        QVERIFY(makeClip(root.path() + "/raw/Day1/CardA/00001.MTS", clipSeconds));
        QVERIFY(makeClip(root.path() + "/raw/Day1/CardB/00001.MTS", clipSeconds));

        pidsFile = start.path() + "/encoders.txt";
        const QString script = start.path() + "/ffmpeg/bin/ffmpeg";
        QVERIFY(QDir().mkpath(QFileInfo(script).path()));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\necho \"$$ $PPID\" >> \"$TAVELO_ENCODER_PIDS\"\nexec '" + encoder.toUtf8()
                   + "' -re \"$@\"\n");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

        QSettings settings(home.path() + "/config/Corvanest/Tavelo Client.conf", QSettings::IniFormat);
        settings.setValue("Connection/rootpath", root.path());
    }

    void aHardKilledRunLeavesNoFinalNameAndNoEncoder()
    {
        QFuture<ClientRun> client = QtConcurrent::run([this]() {
            return runClient("LoginDialog:click:transcodeButton;TranscodeDialog:click:mp4Box;"
                             "TranscodeDialog:click:beginButton",
                             home.path(), start.path(), environment());
        });
        // Wait until the encoder has written part of card A's output.
        QTRY_VERIFY_WITH_TIMEOUT(encoders().size() == 1, 30000);
        const qint64 encoderPid = encoders().first().first;
        const qint64 clientPid = encoders().first().second;
        const QString partial = PartialFile::pathFor(out("raw/Day1/00001.mov"), PartialFile::hostTag(), clientPid);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0, 20000);
        QVERIFY(PartialFile::processRunning(encoderPid));

        QCOMPARE(::kill(pid_t(clientPid), SIGKILL), 0);
        const ClientRun run = client.result();
        QVERIFY2(run.crashed, qPrintable(run.log));

        // The encoder died with its client, and left no final name behind.
        QTRY_VERIFY_WITH_TIMEOUT(!PartialFile::processRunning(encoderPid), 5000);
        QVERIFY(!QFileInfo::exists(out("raw/Day1/00001.mov")));
        QVERIFY(!QFileInfo::exists(out("raw/Day1/00001_CardB.mov")));
        QCOMPARE(encoders().size(), 1);
        // What it wrote is recognisably partial: ffprobe cannot read it.
        QVERIFY(QFileInfo::exists(partial));
        QVERIFY(probeFile(partial).contains("error"));
        leftover = partial;
    }

    void theNextRunRemovesTheLeftoverAndEncodesBothCards()
    {
        if (leftover.isEmpty())
            QSKIP("needs the leftover of the killed run above");
        QFile::remove(pidsFile);
        const QString cardB = out("raw/Day1/00001_CardB.mov");
        const ClientRun run = runClient("LoginDialog:click:transcodeButton;TranscodeDialog:click:mp4Box;"
                                        "TranscodeDialog:click:beginButton;TranscodeDialog:waitfile:"
                                            + cardB + ";TranscodeDialog:close",
                                        home.path(), start.path(), environment());
        QVERIFY2(run.finished && !run.crashed && run.exitCode == 0, qPrintable(run.log));
        QCOMPARE(encoders().size(), 2);

        QVERIFY(!QFileInfo::exists(leftover));
        QCOMPARE(filesBelow(root.path() + "/transcode", ".partial"), QStringList());
        // Card A keeps the layout name, card B is named after its card; both
        // are complete files of the clip's whole length.
        for (const QString &output : {out("raw/Day1/00001.mov"), cardB}) {
            const QJsonObject info = probeFile(output);
            QVERIFY2(!info.contains("error"), qPrintable(output + ": " + info.value("error").toString()));
            QCOMPARE(info["format"].toObject()["format_name"].toString(), "mov,mp4,m4a,3gp,3g2,mj2");
            const double duration = info["format"].toObject()["duration"].toString().toDouble();
            QVERIFY2(duration > clipSeconds - 0.5 && duration < clipSeconds + 0.5, qPrintable(QString::number(duration)));
            const QJsonObject video = info["streams"].toArray().at(0).toObject();
            QCOMPARE(video["codec_name"].toString(), "mpeg4");
            QCOMPARE(video["width"].toInt(), 1280);
            QCOMPARE(video["height"].toInt(), 720);
        }
        OutputNameMap map(root.path() + "/transcode/720p/MP4");
        QVERIFY(map.load());
        QCOMPARE(map.clipOf("raw/Day1/00001.mov"), "raw/Day1/CardA/00001.MTS");
        QCOMPARE(map.clipOf("raw/Day1/00001_CardB.mov"), "raw/Day1/CardB/00001.MTS");
    }
};

QTEST_GUILESS_MAIN(TestTranscodeCrash)
#include "tst_transcodecrash.moc"
