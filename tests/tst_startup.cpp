// Every way through the start-up, run as the real client in a child process:
// these paths end the process (the main window's destructor, the transcode
// window's Cancel), so only a child can show that they end with status 0.
// The child is driven by the test plug-in in tests/driver.

#include "testsupport.h"

#include <QFileInfo>
#include <QSettings>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

class TestStartup : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QTemporaryDir root;

    void writeSettings(const QString &password)
    {
        const QString file = home.path() + "/config/Corvanest/Tavelo Client.conf";
        QFile::remove(file);
        QSettings settings(file, QSettings::IniFormat);
        settings.setValue("Connection/server", TestDb::serverText());
        settings.setValue("Connection/db", TestDb::name());
        settings.setValue("Connection/username", TestDb::user());
        settings.setValue("Connection/pw", password);
        settings.setValue("Connection/rootpath", root.path());
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }

private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        QSqlDatabase db = TestDb::open("seed");
        QVERIFY(TestDb::reset(db));
        QVERIFY(TestDb::addProject(db, "Harbour Documentary", "Three days on the east pier."));
    }

    void exitPaths_data()
    {
        QTest::addColumn<bool>("rightPassword");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("notShown");

        const QStringList noMain{"MainWindow", "TranscodeDialog"};
        QTest::newRow("Cancel at the login")
            << true << "LoginDialog:click:cancelButton" << QStringList{"LoginDialog"} << noMain;
        QTest::newRow("failed login: DB Notice, then exit")
            << false << "LoginDialog:click:okButton;QMessageBox:accept"
            << QStringList{"LoginDialog", "QMessageBox title=DB Notice"} << noMain;
        QTest::newRow("chooser closed")
            << true << "LoginDialog:click:okButton;ProjectSelector:reject"
            << QStringList{"LoginDialog", "ProjectSelector"} << noMain;
        QTest::newRow("accepted: main window, then closed")
            << true << "LoginDialog:click:okButton;ProjectSelector:click:editButton;MainWindow:close"
            << QStringList{"ProjectSelector", "MainWindow title=MainWindow"} << QStringList{"TranscodeDialog"};
        QTest::newRow("offline transcode, window closed")
            << true << "LoginDialog:click:transcodeButton;TranscodeDialog:close"
            << QStringList{"TranscodeDialog"} << QStringList{"MainWindow", "ProjectSelector"};
        QTest::newRow("offline transcode, Cancel")
            << true << "LoginDialog:click:transcodeButton;TranscodeDialog:click:cancelButton"
            << QStringList{"TranscodeDialog"} << QStringList{"MainWindow", "ProjectSelector"};
        QTest::newRow("online transcode, Cancel")
            << true << "LoginDialog:click:okButton;ProjectSelector:click:transcodeButton;TranscodeDialog:click:cancelButton"
            << QStringList{"ProjectSelector", "TranscodeDialog"} << QStringList{"MainWindow"};
    }

    void exitPaths()
    {
        QFETCH(bool, rightPassword);
        QFETCH(QString, script);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, notShown);

        writeSettings(rightPassword ? TestDb::password() : QStringLiteral("wrong"));

        const ClientRun run = runClient(script, home.path());
        const QString &log = run.log;
        QVERIFY2(run.finished, qPrintable("the client did not end; its output:\n" + log));
        QVERIFY2(!run.crashed, qPrintable(log));
        QVERIFY2(run.exitCode == 0, qPrintable(QStringLiteral("exit code %1\n%2").arg(run.exitCode).arg(log)));
        // Every step but the last has run (the last may end the process).
        const int steps = script.count(';') + 1;
        if (steps > 1)
            QVERIFY2(log.contains(QStringLiteral("driver: step %1 done").arg(steps - 1)), qPrintable(log));
        for (const QString &window : shown)
            QVERIFY2(log.contains("driver: shown " + window), qPrintable(window + " missing in:\n" + log));
        for (const QString &window : notShown)
            QVERIFY2(!log.contains("driver: shown " + window), qPrintable(window + " shown:\n" + log));
        // The client also leaves the connection settings private.
        const QFileInfo settingsFile(home.path() + "/config/Corvanest/Tavelo Client.conf");
        if (script.contains("okButton"))
            QCOMPARE(settingsFile.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                     QFileDevice::Permissions());
    }

    // The window's layout is written when it closes and read at the next
    // start of the real client; the first start keeps the defaults.
    void theLayoutIsRestoredAfterARestart()
    {
        writeSettings(TestDb::password());
        const QString open = "LoginDialog:click:okButton;ProjectSelector:click:editButton;";
        ClientRun first = runClient(open + "MainWindow:size;MainWindow:resize:1234x777;MainWindow:close", home.path());
        QVERIFY2(first.finished && !first.crashed && first.exitCode == 0, qPrintable(first.log));
        QVERIFY2(first.log.contains("driver: size 600x400"), qPrintable(first.log));

        const QString file = home.path() + "/config/Corvanest/Tavelo Client.conf";
        {
            QSettings stored(file, QSettings::IniFormat);
            for (const char *key : {"Layout/windowGeometry", "Layout/splitterState", "Layout/gridHeaderState"})
                QVERIFY2(!stored.value(key).toByteArray().isEmpty(), key);
            // The connection keys are untouched, and the file stays private.
            QCOMPARE(stored.value("Connection/pw").toString(), TestDb::password());
        }
        QCOMPARE(QFileInfo(file).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                 QFileDevice::Permissions());

        ClientRun second = runClient(open + "MainWindow:size;MainWindow:close", home.path());
        QVERIFY2(second.finished && !second.crashed && second.exitCode == 0, qPrintable(second.log));
        QVERIFY2(second.log.contains("driver: size 1234x777"), qPrintable(second.log));
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
