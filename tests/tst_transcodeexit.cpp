// "Cancel" and closing the transcode window while an encoder runs: both end
// the client with status 0, stop the encoder and remove its partial output.
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
        const QString output = root.path() + "/transcode/720p/MP4/raw/A/x.mov";

        QProcess client;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("HOME", home.path());
        environment.insert("XDG_CONFIG_HOME", home.path() + "/config");
        environment.insert("QT_PLUGIN_PATH", TAVELO_DRIVER_PLUGIN_PATH);
        environment.insert("QT_QPA_GENERIC_PLUGINS", "tavelo_driver");
        environment.insert("TAVELO_FAKE_ENCODER", mode);
        environment.insert("TAVELO_FAKE_ENCODER_LOG", encoderLog);
        environment.insert("TAVELO_DRIVE", "LoginDialog:click:transcodeButton;TranscodeDialog:click:mp4Box;"
                                           "TranscodeDialog:click:beginButton;TranscodeDialog:waitfile:"
                                               + output + ";TranscodeDialog:" + lastStep);
        client.setProcessEnvironment(environment);
        client.setWorkingDirectory(start.path());
        client.setProgram(TAVELO_CLIENT_PATH);
        client.start();
        QVERIFY2(client.waitForStarted(), qPrintable(client.errorString()));
        if (!client.waitForFinished(60000)) {
            client.kill();
            client.waitForFinished();
            QFAIL(qPrintable("the client did not end; its output:\n" + client.readAllStandardError()));
        }
        const QString log = QString::fromLocal8Bit(client.readAllStandardError());
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QVERIFY2(client.exitCode() == 0, qPrintable(QStringLiteral("exit code %1\n%2").arg(client.exitCode()).arg(log)));
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
        QVERIFY(!QFileInfo::exists(output));
    }
};

QTEST_GUILESS_MAIN(TestTranscodeExit)
#include "tst_transcodeexit.moc"
