// The start-up sequence in this process: the main window driven through
// both dialogs. The main window is never deleted here, because its
// destructor ends the process (tst_startup runs those paths in a child).

#include "app/clientstate.h"
#include "app/mainwindow.h"
#include "db/connectionsettings.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMenuBar>
#include <QSqlDatabase>
#include <QSplitter>
#include <QStatusBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

class TestApp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QString startDirectory;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        if (!TestDb::configured())
            QFAIL(qPrintable(TestDb::notConfiguredMessage()));
        startDirectory = QDir::currentPath();
        QSqlDatabase seed = TestDb::open("seed");
        QVERIFY(TestDb::reset(seed));
        QVERIFY(TestDb::addProject(seed, "Harbour Documentary", "Three days on the east pier."));
        QVERIFY(TestDb::addProject(seed, "Test Shoot", QVariant()));
        ConnectionSettings{TestDb::serverText(), TestDb::name(), TestDb::user(), TestDb::password(), root.path()}.save();
    }

    void init()
    {
        QDir::setCurrent(startDirectory);
        QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
        ClientState::instance()->connected = 0;
        ClientState::instance()->projectId = 0;
    }

    void cancelledLoginShowsNoWindow()
    {
        whenModal("LoginDialog", [](QWidget *login) { static_cast<QDialog *>(login)->reject(); });
        auto *window = new MainWindow; // leaked on purpose
        QVERIFY(!window->isVisible());
        QVERIFY(!anyTopLevelWindowVisible());
    }

    void closedChooserShowsNoWindow()
    {
        whenModal("LoginDialog", [](QWidget *login) {
            login->findChild<QAbstractButton *>("okButton")->click();
        });
        whenModal("ProjectSelector", [](QWidget *chooser) { static_cast<QDialog *>(chooser)->reject(); });
        auto *window = new MainWindow;
        QCOMPARE(ClientState::instance()->connected, 1);
        QVERIFY(!window->isVisible());
        QVERIFY(!anyTopLevelWindowVisible());
    }

    void acceptedPathShowsTheMainWindow()
    {
        whenModal("LoginDialog", [](QWidget *login) {
            login->findChild<QAbstractButton *>("okButton")->click();
        });
        whenModal("ProjectSelector", [](QWidget *chooser) {
            chooser->findChild<QAbstractButton *>("editButton")->click();
        });
        auto *window = new MainWindow;
        QVERIFY(window->isVisible());
        QVERIFY(anyTopLevelWindowVisible());
        QCOMPARE(ClientState::instance()->projectId, 1);
        QCOMPARE(QDir::current().canonicalPath(), QDir(root.path()).canonicalPath());

        QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window->windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(window->menuBar()->objectName(), QStringLiteral("menuBar"));
        QVERIFY(window->menuBar()->actions().isEmpty());
        auto *toolBar = window->findChild<QToolBar *>("mainToolBar");
        QVERIFY(toolBar);
        QVERIFY(toolBar->actions().isEmpty());
        QCOMPARE(window->statusBar()->objectName(), QStringLiteral("statusBar"));
        auto *splitter = qobject_cast<QSplitter *>(window->centralWidget());
        QVERIFY(splitter);
        QCOMPARE(splitter->orientation(), Qt::Vertical);
        QCOMPARE(qApp->styleSheet(), QString()); // set by main(), not by the window

        window->setWindowTitle("something else");
        QEvent languageChange(QEvent::LanguageChange);
        QCoreApplication::sendEvent(window, &languageChange);
        QCOMPARE(window->windowTitle(), QStringLiteral("MainWindow"));

        qApp->setStyleSheet("QSplitter::handle { background-color: gray }");
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(QFileInfo::exists(saveScreenshot(window, "mainwindow")));
        window->hide();
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
