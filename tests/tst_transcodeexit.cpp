// "Cancel" and closing the transcode window while an encoder runs: both end
// the client with status 0, stop the encoder and remove its partial output,
// leaving nothing in the output folder.
// These paths end the process, so the real client runs as a child, driven
// by the test plug-in in tests/driver, with the fake encoder in its start
// directory's ffmpeg/bin.

#include "testsupport.h"
#include "transcode/encoderlocator.h"
#include "transcode/transcodedialog.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

class TestTranscodeExit : public QObject
{
    Q_OBJECT

private slots:
    void endWhileEncoding_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("lastStep");
        QTest::newRow("Cancel") << "hang" << "click:cancelButton";
        QTest::newRow("window closed") << "hang" << "close";
        QTest::newRow("Cancel, the encoder ignores terminate") << "stubborn" << "click:cancelButton";
    }

    void endWhileEncoding()
    {
        QFETCH(QString, mode);
        QFETCH(QString, lastStep);

        QTemporaryDir home;
        QTemporaryDir start;
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(start.path() + "/ffmpeg/bin"));
        QVERIFY(QFile::link(TAVELO_FAKE_ENCODER_PATH, start.path() + "/ffmpeg/bin/" + encoderFileName()));
        QVERIFY(QDir().mkpath(root.path() + "/raw/A"));
        QFile clip(root.path() + "/raw/A/x.MTS");
        QVERIFY(clip.open(QIODevice::WriteOnly));
        clip.close();
        {
            QSettings settings(home.path() + "/config/Corvanest/Tavelo Client.conf", QSettings::IniFormat);
            settings.setValue("Connection/rootpath", root.path());
        }
        const QString encoderLog = start.path() + "/runs.log";
        const QString wrote = start.path() + "/wrote";
        const QString outputDir = root.path() + "/transcode/720p/MP4/raw/A";

        QProcessEnvironment extra;
        extra.insert("TAVELO_FAKE_ENCODER", mode);
        extra.insert("TAVELO_FAKE_ENCODER_LOG", encoderLog);
        extra.insert("TAVELO_FAKE_ENCODER_WROTE", wrote);
        // The encoder writes a temporary name that holds the client's process
        // id; it says when it has written part of it.
        const ClientRun run = runClient("LoginDialog:click:transcodeButton;TranscodeDialog:click:mp4Box;"
                                        "TranscodeDialog:click:beginButton;TranscodeDialog:waitfile:"
                                            + wrote + ";TranscodeDialog:" + lastStep,
                                        home.path(), start.path(), extra);
        const QString &log = run.log;
        QVERIFY2(run.finished, qPrintable("the client did not end; its output:\n" + log));
        QVERIFY2(!run.crashed, qPrintable(log));
        QVERIFY2(run.exitCode == 0, qPrintable(QStringLiteral("exit code %1\n%2").arg(run.exitCode).arg(log)));
        QVERIFY2(log.contains("driver: step 4 done"), qPrintable(log));
        QVERIFY2(log.contains("TranscodeDialog::stop()"), qPrintable(log));

        // The encoder ended with the client, and took its partial file along.
        QFile runs(encoderLog);
        QVERIFY(runs.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = runs.readAll().split('\n');
        QCOMPARE(lines.size(), 2);   // one run and the final line end
        const pid_t pid = lines.first().split('\t').first().toInt();
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) != 0, 5000);
        QVERIFY(lines.first().endsWith(".partial"));
        QCOMPARE(QDir(outputDir).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestTranscodeExit)
#include "tst_transcodeexit.moc"
