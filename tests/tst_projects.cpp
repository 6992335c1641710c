// The project chooser against the real server.

#include "app/clientstate.h"
#include "projects/projectselector.h"
#include "testsupport.h"
#include "transcode/transcodedialog.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QComboBox *projectBox(QWidget *chooser) { return chooser->findChild<QComboBox *>("projectBox"); }
QString description(QWidget *chooser) { return chooser->findChild<QLabel *>("descriptionLabel")->text(); }
QPushButton *button(QWidget *chooser, const char *name) { return chooser->findChild<QPushButton *>(name); }

QList<TranscodeDialog *> visibleTranscodeWindows()
{
    QList<TranscodeDialog *> found;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<TranscodeDialog *>(window); dialog && dialog->isVisible())
            found << dialog;
    }
    return found;
}

} // namespace

class TestProjects : public QObject
{
    Q_OBJECT

private:
    QSqlDatabase db;
    QList<int> ids;

    void addSampleProjects()
    {
        ids.clear();
        ids << TestDb::addProject(db, "Harbour Documentary", "Three days on the east pier.");
        ids << TestDb::addProject(db, "Test Shoot", QVariant());
        ids << TestDb::addProject(db, "Hendriks Wedding", "Ceremony and reception.");
        QVERIFY(!ids.contains(0));
    }

private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        db = TestDb::open();
        QVERIFY(db.isOpen());
        ClientState::instance()->connected = 1;
    }

    void init()
    {
        QVERIFY(TestDb::reset(db));
        ClientState::instance()->projectId = -1;
    }

    void opensWithFirstProjectAndItsDescription()
    {
        addSampleProjects();
        ProjectSelector chooser;
        QCOMPARE(projectBox(&chooser)->count(), 3);
        QCOMPARE(projectBox(&chooser)->currentIndex(), 0);
        QCOMPARE(projectBox(&chooser)->currentText(), QStringLiteral("Harbour Documentary"));
        QCOMPARE(description(&chooser), QStringLiteral("Three days on the east pier."));
        QVERIFY(button(&chooser, "editButton")->isDefault());
        QVERIFY(button(&chooser, "syncButton")->isEnabled());
    }

    void choosingAnotherProjectReplacesTheDescription()
    {
        addSampleProjects();
        ProjectSelector chooser;
        projectBox(&chooser)->setCurrentIndex(2);
        QCOMPARE(description(&chooser), QStringLiteral("Ceremony and reception."));
        projectBox(&chooser)->setCurrentIndex(1);
        QCOMPARE(description(&chooser), QString()); // NULL shows empty
    }

    void emptyProjectsTable()
    {
        ProjectSelector chooser;
        QCOMPARE(projectBox(&chooser)->count(), 0);
        QCOMPARE(projectBox(&chooser)->currentIndex(), -1);
        QCOMPARE(description(&chooser), QString());
        // A sync would file shots under a project that does not exist.
        QVERIFY(!button(&chooser, "syncButton")->isEnabled());
        button(&chooser, "syncButton")->click();
        QCOMPARE(ClientState::instance()->projectId, -1);
        chooser.syncDB();
        QCOMPARE(ClientState::instance()->projectId, -1);
        // "Edit Project" keeps its plain behaviour: project 0.
        whenModal("ProjectSelector", [&](QWidget *) { button(&chooser, "editButton")->click(); });
        QCOMPARE(chooser.exec(), int(QDialog::Accepted));
        QCOMPARE(ClientState::instance()->projectId, 0);
    }

    void enterActsAsEditProject()
    {
        addSampleProjects();
        ProjectSelector chooser;
        projectBox(&chooser)->setCurrentIndex(2);
        whenModal("ProjectSelector", [&](QWidget *) { QTest::keyClick(&chooser, Qt::Key_Return); });
        QCOMPARE(chooser.exec(), int(QDialog::Accepted));
        QCOMPARE(ClientState::instance()->projectId, ids.at(2));
    }

    void syncStoresTheIdAndStaysOpen()
    {
        addSampleProjects();
        QTemporaryDir root; // the sync writes its cache file in the local root
        QVERIFY(QDir::setCurrent(root.path()));
        ProjectSelector chooser;
        bool openAfterSync = false;
        int afterSync = 0;
        whenModal("ProjectSelector", [&](QWidget *) {
            projectBox(&chooser)->setCurrentIndex(1);
            whenModal("PopulateDB", [](QWidget *sync) {
                auto *close = sync->findChild<QPushButton *>("cancelButton");
                QTRY_COMPARE(close->text(), QStringLiteral("Close"));
                close->click();
            });
            button(&chooser, "syncButton")->click();
            openAfterSync = chooser.isVisible();
            afterSync = ClientState::instance()->projectId;
            projectBox(&chooser)->setCurrentIndex(2);
            button(&chooser, "editButton")->click();
        });
        QCOMPARE(chooser.exec(), int(QDialog::Accepted));
        QVERIFY(openAfterSync);
        QCOMPARE(afterSync, ids.at(1));
        QCOMPARE(ClientState::instance()->projectId, ids.at(2));
        QVERIFY(QFile::exists(root.filePath("dbclient.cache")));
        QDir::setCurrent(QDir::tempPath());
    }

    void onlineTranscodeRejectsAndOpensTheWindow()
    {
        addSampleProjects();
        ProjectSelector chooser;
        whenModal("ProjectSelector", [&](QWidget *) { button(&chooser, "transcodeButton")->click(); });
        QCOMPARE(chooser.exec(), int(QDialog::Rejected));
        const auto windows = visibleTranscodeWindows();
        QCOMPARE(windows.size(), 1);
        QVERIFY(windows.first()->findChild<QLineEdit *>("conditionEdit"));
        QCOMPARE(ClientState::instance()->projectId, -1);
        windows.first()->hide(); // never deleted: that ends the process
    }

    void chooserScreenshot()
    {
        addSampleProjects();
        ProjectSelector chooser;
        chooser.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chooser));
        QVERIFY(QFileInfo::exists(saveScreenshot(&chooser, "chooser")));
    }
};

QTEST_MAIN(TestProjects)
#include "tst_projects.moc"
