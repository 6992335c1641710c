// The login dialog and the connection settings, against the real server.

#include "app/clientstate.h"
#include "db/connectionsettings.h"
#include "app/logindialog.h"
#include "testsupport.h"
#include "transcode/transcodedialog.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

struct Box
{
    bool shown = false;
    QString title;
    QString text;
};

// Captures the next message box and closes it with OK.
void captureNextBox(Box *box)
{
    whenModal("QMessageBox", [box](QWidget *widget) {
        auto *messageBox = static_cast<QMessageBox *>(widget);
        box->shown = true;
        box->title = messageBox->windowTitle();
        box->text = messageBox->text();
        messageBox->accept();
    });
}

QLineEdit *field(QWidget *dialog, const char *name)
{
    return dialog->findChild<QLineEdit *>(name);
}

QPushButton *button(QWidget *dialog, const char *name)
{
    return dialog->findChild<QPushButton *>(name);
}

int visibleTranscodeWindows()
{
    int count = 0;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && qobject_cast<TranscodeDialog *>(window))
            ++count;
    }
    return count;
}

void closeTranscodeWindows()
{
    // Hidden, never deleted: the window ends the process when destroyed.
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (qobject_cast<TranscodeDialog *>(window))
            window->hide();
    }
}

} // namespace

class TestLogin : public QObject
{
    Q_OBJECT

private:
    QString startDirectory;
    QTemporaryDir root;

    void fill(QWidget *dialog, const QString &server, const QString &password, const QString &rootPath)
    {
        field(dialog, "serverEdit")->setText(server);
        field(dialog, "databaseEdit")->setText(TestDb::name());
        field(dialog, "userNameEdit")->setText(TestDb::user());
        field(dialog, "passwordEdit")->setText(password);
        field(dialog, "rootPathEdit")->setText(rootPath);
    }

    QSettings store() { return QSettings(ConnectionKeys::organisation, ConnectionKeys::application); }

private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        QVERIFY(root.isValid());
        startDirectory = QDir::currentPath();
    }

    void init()
    {
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).clear();
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).sync();
        ClientState *state = ClientState::instance();
        state->connected = 0;
        state->startDir = nullptr;
        state->projectId = 0;
        QDir::setCurrent(startDirectory);
        QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
        closeTranscodeWindows();
    }

    void clientStateIsOneRecord()
    {
        ClientState *first = ClientState::instance();
        ClientState *second = ClientState::instance();
        QCOMPARE(first, second);
        first->projectId = 42;
        QCOMPARE(second->projectId, 42);
    }

    void firstStartShowsEmptyFields()
    {
        LoginDialog dialog;
        for (const char *name : {"serverEdit", "databaseEdit", "userNameEdit", "passwordEdit", "rootPathEdit"})
            QVERIFY2(field(&dialog, name)->text().isEmpty(), name);
        QCOMPARE(field(&dialog, "passwordEdit")->echoMode(), QLineEdit::PasswordEchoOnEdit);
        QVERIFY(button(&dialog, "okButton")->isDefault());
        QCOMPARE(button(&dialog, "transcodeButton")->text(), QStringLiteral("Offline &Transcode"));
    }

    void storedValuesReappear()
    {
        ConnectionSettings values{"db.example:3307", "shots", "wrangler", "s3cret pass", root.path()};
        QVERIFY(values.save());
        LoginDialog dialog;
        QCOMPARE(field(&dialog, "serverEdit")->text(), values.server);
        QCOMPARE(field(&dialog, "databaseEdit")->text(), values.database);
        QCOMPARE(field(&dialog, "userNameEdit")->text(), values.userName);
        QCOMPARE(field(&dialog, "passwordEdit")->text(), values.password);
        QCOMPARE(field(&dialog, "rootPathEdit")->text(), values.rootPath);
        // The store keeps the password as typed, in clear text.
        QCOMPARE(store().value("Connection/pw").toString(), values.password);
    }

    void settingsFileIsPrivate()
    {
        const QString fileName = store().fileName();
        QFile::remove(fileName);
        QDir().mkpath(QFileInfo(fileName).absolutePath());
        // Also an older file that everybody could read is made private.
        QFile old(fileName);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.close();
        QFile::setPermissions(fileName, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                            | QFileDevice::ReadOther);
        ConnectionSettings values{"h", "d", "u", "p", "r"};
        QVERIFY(values.save());
        const auto permissions = QFileInfo(fileName).permissions()
            & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
               | QFileDevice::ExeGroup | QFileDevice::ExeOther);
        QCOMPARE(int(permissions), 0);

        QFile::remove(fileName);
        QVERIFY(values.save());
        QCOMPARE(QFileInfo(fileName).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                 QFileDevice::Permissions());
    }

    void failedLoginStoresValuesAndShowsDbNotice()
    {
        Box box;
        int result = -1;
        {
            LoginDialog dialog;
            fill(&dialog, TestDb::serverText(), "wrong password", root.path());
            whenModal("LoginDialog", [&](QWidget *) {
                captureNextBox(&box);
                button(&dialog, "okButton")->click();
            });
            result = dialog.exec();
        }
        QCOMPARE(result, int(QDialog::Rejected));
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("DB Notice"));
        const QString literal = QStringLiteral("The Database is not connected.  The client will now exit.\n");
        QVERIFY2(box.text.startsWith(literal), qPrintable(box.text));
        const QString driverError = QSqlDatabase::database(QSqlDatabase::defaultConnection, false).lastError().text();
        QVERIFY(!driverError.isEmpty());
        QCOMPARE(box.text, literal + driverError);
        QVERIFY2(driverError.contains("Access denied"), qPrintable(driverError));

        ClientState *state = ClientState::instance();
        QCOMPARE(state->connected, 0);
        QVERIFY(state->startDir);
        QCOMPARE(state->startDir->absolutePath(), QDir(startDirectory).absolutePath());
        QCOMPARE(QDir::current().canonicalPath(), QDir(root.path()).canonicalPath());

        // The wrong values come back at the next start.
        LoginDialog next;
        QCOMPARE(field(&next, "serverEdit")->text(), TestDb::serverText());
        QCOMPARE(field(&next, "passwordEdit")->text(), QStringLiteral("wrong password"));
        QCOMPARE(field(&next, "rootPathEdit")->text(), root.path());
    }

    void unreachableServerFailsWithinTimeout()
    {
        Box box;
        LoginDialog dialog;
        // Port 1 on loopback: nothing listens there.
        fill(&dialog, "127.0.0.1:1", TestDb::password(), root.path());
        whenModal("LoginDialog", [&](QWidget *) {
            captureNextBox(&box);
            button(&dialog, "okButton")->click();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(box.shown);
        QVERIFY2(box.text.contains("Can't connect"), qPrintable(box.text));
    }

    void login_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("host:port") << TestDb::serverText();
        QTest::newRow("local socket path") << TestDb::socket();
    }

    void login()
    {
        QFETCH(QString, server);
        int result = -1;
        {
            LoginDialog dialog;
            fill(&dialog, server, TestDb::password(), root.path());
            whenModal("LoginDialog", [&](QWidget *) { button(&dialog, "okButton")->click(); });
            result = dialog.exec();
        }
        QCOMPARE(result, int(QDialog::Accepted));
        ClientState *state = ClientState::instance();
        QCOMPARE(state->connected, 1);
        QCOMPARE(state->startDir->absolutePath(), QDir(startDirectory).absolutePath());
        QCOMPARE(QDir::current().canonicalPath(), QDir(root.path()).canonicalPath());
        QSqlDatabase db = QSqlDatabase::database();
        QVERIFY(db.isOpen());
        QCOMPARE(db.driverName(), QStringLiteral("QMYSQL"));
        QCOMPARE(store().value("Connection/server").toString(), server);
        QCOMPARE(store().value("Connection/rootpath").toString(), root.path());
    }

    void enterLogsIn()
    {
        LoginDialog dialog;
        fill(&dialog, TestDb::serverText(), TestDb::password(), root.path());
        whenModal("LoginDialog", [&](QWidget *) { QTest::keyClick(field(&dialog, "databaseEdit"), Qt::Key_Return); });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(ClientState::instance()->connected, 1);
    }

    void escapeRejectsAndTouchesNothing()
    {
        LoginDialog dialog;
        fill(&dialog, TestDb::serverText(), TestDb::password(), root.path());
        whenModal("LoginDialog", [&](QWidget *) { QTest::keyClick(field(&dialog, "serverEdit"), Qt::Key_Escape); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(!store().contains("Connection/server"));
        QVERIFY(!QSqlDatabase::contains(QSqlDatabase::defaultConnection));
        QVERIFY(!ClientState::instance()->startDir);
        QCOMPARE(QDir::currentPath(), startDirectory);
    }

    void rootPathIsCheckedFirst_data()
    {
        QTest::addColumn<QString>("rootPath");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("reason");
        const QString missing = root.filePath("no such folder");
        const QString file = root.filePath("a file");
        QFile(file).open(QIODevice::WriteOnly);
        QTest::newRow("OK, empty root") << QString() << "okButton" << "No local root";
        QTest::newRow("OK, missing folder") << missing << "okButton" << "does not exist";
        QTest::newRow("OK, a file, not a folder") << file << "okButton" << "is not a folder";
        QTest::newRow("offline transcode, empty root") << QString() << "transcodeButton" << "No local root";
        QTest::newRow("offline transcode, missing folder") << missing << "transcodeButton" << "does not exist";
#ifdef Q_OS_UNIX
        // A root that could not be entered used to be accepted, and the sync
        // then worked below the folder the client was started from. Root
        // ignores permissions: these rows run in the child that
        // unenterableRootWithoutPrivileges starts.
        if (!ignoresPermissions()) {
            const QString unenterable = root.filePath("cannot enter");
            const QString unlistable = root.filePath("cannot list");
            QDir().mkpath(unenterable);
            QDir().mkpath(unlistable);
            ::chmod(QFile::encodeName(unenterable), 0);
            ::chmod(QFile::encodeName(unlistable), 0311);
            QTest::newRow("OK, folder that cannot be entered") << unenterable << "okButton" << "cannot be entered";
            QTest::newRow("OK, folder that cannot be listed") << unlistable << "okButton" << "cannot be listed";
            QTest::newRow("offline transcode, folder that cannot be entered")
                << unenterable << "transcodeButton" << "cannot be entered";
        }
#endif
    }

    void rootPathIsCheckedFirst()
    {
        QFETCH(QString, rootPath);
        QFETCH(QString, button);
        QFETCH(QString, reason);
        Box box;
        bool stillOpenAfterWarning = false;
        LoginDialog dialog;
        fill(&dialog, TestDb::serverText(), TestDb::password(), rootPath);
        whenModal("LoginDialog", [&](QWidget *) {
            captureNextBox(&box);
            ::button(&dialog, button.toLatin1().constData())->click();
            // The warning has been closed; the dialog must still be up.
            stillOpenAfterWarning = dialog.isVisible();
            dialog.reject();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(box.shown);
        QVERIFY(stillOpenAfterWarning);
        if (!rootPath.isEmpty())
            QVERIFY2(box.text.contains(QDir::toNativeSeparators(rootPath)), qPrintable(box.text));
        QVERIFY2(box.text.contains(reason), qPrintable(box.text));
        QVERIFY(!store().contains("Connection/server"));
        QVERIFY(!QSqlDatabase::contains(QSqlDatabase::defaultConnection));
        QVERIFY(!ClientState::instance()->startDir);
        QCOMPARE(QDir::currentPath(), startDirectory);
        QCOMPARE(visibleTranscodeWindows(), 0);
    }

    void unenterableRootWithoutPrivileges()
    {
#ifndef Q_OS_UNIX
        QSKIP("permissions are tested on Unix");
#else
        if (!ignoresPermissions())
            QSKIP("this process meets file permissions: rootPathIsCheckedFirst has the rows already");
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is missing, so a root that cannot be entered cannot be played as root");
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(setpriv, {"--bounding-set=-dac_override,-dac_read_search", QCoreApplication::applicationFilePath(),
                              "rootPathIsCheckedFirst"});
        QVERIFY(child.waitForStarted());
        if (!child.waitForFinished(60000)) {
            child.kill();
            child.waitForFinished();
            QFAIL("the child did not end within a minute");
        }
        const QString out = QString::fromLocal8Bit(child.readAll());
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(out));
        QVERIFY2(out.contains("PASS   : TestLogin::rootPathIsCheckedFirst(OK, folder that cannot be entered)"), qPrintable(out));
        QVERIFY2(out.contains("PASS   : TestLogin::rootPathIsCheckedFirst(OK, folder that cannot be listed)"), qPrintable(out));
        QVERIFY2(out.contains(", 0 failed, 0 skipped"), qPrintable(out));
#endif
    }

    void offlineTranscodeNeedsNoDatabase()
    {
        LoginDialog dialog;
        fill(&dialog, "edited.server", "edited", root.path());
        whenModal("LoginDialog", [&](QWidget *) { button(&dialog, "transcodeButton")->click(); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));

        ClientState *state = ClientState::instance();
        QCOMPARE(state->connected, 0);
        QCOMPARE(state->projectId, 0);
        QVERIFY(state->startDir);
        QCOMPARE(state->startDir->absolutePath(), QDir(startDirectory).absolutePath());
        QCOMPARE(QDir::current().canonicalPath(), QDir(root.path()).canonicalPath());
        QVERIFY(!QSqlDatabase::contains(QSqlDatabase::defaultConnection));
        QCOMPARE(visibleTranscodeWindows(), 1);
        // The edits are not stored.
        QVERIFY(!store().contains("Connection/server"));
    }

    void cancelledBrowseKeepsTheRoot()
    {
        LoginDialog dialog;
        fill(&dialog, "", "", root.path());
        whenModal("QFileDialog", [](QWidget *chooser) { static_cast<QDialog *>(chooser)->reject(); });
        button(&dialog, "browseButton")->click();
        QCOMPARE(field(&dialog, "rootPathEdit")->text(), root.path());
    }

    void loginScreenshot()
    {
        ConnectionSettings{"127.0.0.1:3306", "tavelo", "wrangler", "secret", "/media/shoot"}.save();
        LoginDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(QFileInfo::exists(saveScreenshot(&dialog, "login")));
    }

    void parseServerAddress_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("socket");
        QTest::addColumn<bool>("valid");
        QTest::newRow("host name") << "db.example.org" << "db.example.org" << -1 << "" << true;
        QTest::newRow("empty: the driver's default") << "" << "" << -1 << "" << true;
        QTest::newRow("host:port") << "127.0.0.1:3307" << "127.0.0.1" << 3307 << "" << true;
        QTest::newRow("name:port") << "db:13306" << "db" << 13306 << "" << true;
        QTest::newRow("bracketed IPv6 with port") << "[::1]:3310" << "::1" << 3310 << "" << true;
        QTest::newRow("bracketed IPv6 without port") << "[fe80::1]" << "fe80::1" << -1 << "" << true;
        QTest::newRow("bare IPv6 is a host") << "::1" << "::1" << -1 << "" << true;
        QTest::newRow("socket path") << "/run/mysqld/mysqld.sock" << "" << -1 << "/run/mysqld/mysqld.sock" << true;
        QTest::newRow("surrounding blanks") << " db:3306 " << "db" << 3306 << "" << true;
        QTest::newRow("port not a number") << "db:abc" << "db" << -1 << "" << false;
        QTest::newRow("port zero") << "db:0" << "db" << -1 << "" << false;
        QTest::newRow("port too large") << "db:70000" << "db" << -1 << "" << false;
        QTest::newRow("empty port") << "db:" << "db" << -1 << "" << false;
        QTest::newRow("unclosed bracket") << "[::1:3306" << "" << -1 << "" << false;
        QTest::newRow("junk after bracket") << "[::1]x" << "::1" << -1 << "" << false;
    }

    void parseServerAddress()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, socket);
        QFETCH(bool, valid);
        const ServerAddress address = ::parseServerAddress(text);
        QCOMPARE(address.isValid(), valid);
        QCOMPARE(address.host, host);
        QCOMPARE(address.port, port);
        QCOMPARE(address.socket, socket);
    }

    void badPortIsReportedBeforeAnything()
    {
        Box box;
        LoginDialog dialog;
        fill(&dialog, "127.0.0.1:port", TestDb::password(), root.path());
        whenModal("LoginDialog", [&](QWidget *) {
            captureNextBox(&box);
            button(&dialog, "okButton")->click();
            dialog.reject();
        });
        dialog.exec();
        QVERIFY(box.shown);
        QVERIFY2(box.text.contains("port"), qPrintable(box.text));
        QVERIFY(!store().contains("Connection/server"));
        QVERIFY(!QSqlDatabase::contains(QSqlDatabase::defaultConnection));
    }
};

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
