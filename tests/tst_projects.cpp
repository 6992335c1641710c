// The project chooser against the real server.

#include "app/clientstate.h"
#include "db/connectionsettings.h"
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
#include <QSqlQuery>
#include <QSettings>
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
        // The project chosen last is remembered in the settings, which every
        // test executable shares: another's choice must not decide here.
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).remove(QStringLiteral("Projects"));
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
        // Nor does editing go on without a project (project 0).
        QVERIFY(!button(&chooser, "editButton")->isEnabled());
        chooser.accept();
        QCOMPARE(ClientState::instance()->projectId, -1);
        QVERIFY(chooser.findChild<QLabel *>("problemLabel")->text().contains("no project"));
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
        bool defaultAfterSync = false;
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
            // Regression: Return after a sync started it again; now it
            // opens the project synced.
            defaultAfterSync = button(&chooser, "editButton")->isDefault() && !button(&chooser, "syncButton")->isDefault();
            QTest::keyClick(&chooser, Qt::Key_Return);
        });
        QCOMPARE(chooser.exec(), int(QDialog::Accepted));
        QVERIFY(openAfterSync);
        QVERIFY(defaultAfterSync);
        QCOMPARE(afterSync, ids.at(1));
        QCOMPARE(ClientState::instance()->projectId, ids.at(1));
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

    // The chooser remembers the project used last, shows each project's id
    // and number of shots, and double-click opens the project.
    void theChooserRemembersAndCounts()
    {
        addSampleProjects();
        for (int i = 0; i < 3; ++i)
            TestDb::addShot(db, ids.at(1), QStringLiteral("raw/A/%1.MTS").arg(i));
        {
            ProjectSelector chooser;
            projectBox(&chooser)->setCurrentIndex(1);
            whenModal("ProjectSelector", [&](QWidget *) { button(&chooser, "editButton")->click(); });
            QCOMPARE(chooser.exec(), int(QDialog::Accepted));
        }
        ProjectSelector again;
        QCOMPARE(projectBox(&again)->currentIndex(), 1);
        QCOMPARE(ProjectSelector::lastProject(), ids.at(1));
        auto *model = projectBox(&again)->model();
        QCOMPARE(model->index(1, 2).data().toInt(), ids.at(1));
        QCOMPARE(model->index(1, 3).data().toString(), QStringLiteral("3 shots"));
        QCOMPARE(model->index(0, 3).data().toString(), QStringLiteral("0 shots"));
        QVERIFY(model->index(1, 0).data(Qt::ToolTipRole).toString().contains("3 shots"));
        projectBox(&again)->setCurrentIndex(2);
        whenModal("ProjectSelector", [&](QWidget *) {
            QTest::mouseDClick(projectBox(&again), Qt::LeftButton);
        });
        QCOMPARE(again.exec(), int(QDialog::Accepted));
        QCOMPARE(ClientState::instance()->projectId, ids.at(2));
    }

    // Regression: a list that could not be read was shown empty without a
    // word, and "Edit Project" then opened a project 0.
    void aListThatCannotBeReadSaysSoAndOffersToTryAgain()
    {
        addSampleProjects();
        QSqlQuery away(db);
        QVERIFY(away.exec("RENAME TABLE projects TO projects_away"));
        ProjectSelector chooser;
        QVERIFY(away.exec("RENAME TABLE projects_away TO projects"));
        QCOMPARE(projectBox(&chooser)->count(), 0);
        QVERIFY(!button(&chooser, "editButton")->isEnabled());
        QVERIFY2(chooser.findChild<QLabel *>("problemLabel")->text().startsWith("The projects could not be read"),
                 qPrintable(chooser.findChild<QLabel *>("problemLabel")->text()));
        QPushButton *retry = button(&chooser, "retryButton");
        QVERIFY(!retry->isHidden());
        retry->click();
        QCOMPARE(projectBox(&chooser)->count(), 3);
        QVERIFY(button(&chooser, "editButton")->isEnabled());
        QVERIFY(retry->isHidden());
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
