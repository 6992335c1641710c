// The online scan's filter against the real server: which clips the
// database accepts, and a condition the server rejects; and File >
// Transcode... in the main window, which encodes the clips of the shots
// chosen there.

#include "app/clientstate.h"
#include "app/mainwindow.h"
#include "db/connectionsettings.h"
#include "db/dbworker.h"
#include "shots/gridwidget.h"
#include "shots/shottablemodel.h"
#include "testsupport.h"
#include "transcode/joblistmodel.h"
#include "transcode/scanfilter.h"
#include "transcode/transcodedialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QLabel>
#include <QRadioButton>
#include <QTextEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
void addShot(int project, const QString &filename)
{
    QSqlQuery query;
    query.prepare("INSERT INTO shots (project, filename, MD5, SHA1) VALUES (:p, :f, :m, :s)");
    query.bindValue(":p", project);
    query.bindValue(":f", filename);
    query.bindValue(":m", QByteArray(32, 'a'));
    query.bindValue(":s", QByteArray(40, 'b'));
    if (!query.exec())
        qWarning() << "addShot" << filename << "failed";
}

void createFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("clip");
}
} // namespace

class TestTranscodeFilter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QTemporaryDir start;
    MainWindow *mainWindow = nullptr;   // never deleted: that ends the process
    QHash<QString, qlonglong> crewShots;   // by clip


private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        QSqlDatabase db = TestDb::open();
        QVERIFY(db.isOpen());
        QVERIFY(TestDb::reset(db));
        const int first = TestDb::addProject(db, "Wedding", QVariant());
        const int second = TestDb::addProject(db, "Harbour", QVariant());
        QCOMPARE(first, 1);
        QCOMPARE(second, 2);
        addShot(1, "raw/Wedding/CardA/CLIP7.MTS");
        addShot(2, "raw/Harbour/CardA/00001.MTS");
        addShot(1, "raw/Wedding/CardA/it's.MTS");
    }

    void verdicts_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<QString>("clip");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("error");
        QTest::newRow("accepted: its row meets the condition")
            << "project=1" << "raw/Wedding/CardA/CLIP7.MTS" << int(ScanFilter::Accepted) << "";
        QTest::newRow("skipped: its row is in another project")
            << "project=2" << "raw/Wedding/CardA/CLIP7.MTS" << int(ScanFilter::Skipped) << "";
        QTest::newRow("skipped: no row has its path")
            << "project=1" << "raw/Wedding/CardB/CLIP8.MTS" << int(ScanFilter::Skipped) << "";
        // Unbracketed, "filename=:fn AND project=1 OR project=2" would take
        // every clip, since project 2 has a row.
        QTest::newRow("parenthesised: an OR stays inside the condition")
            << "project=1 OR project=2" << "raw/Wedding/CardB/CLIP8.MTS" << int(ScanFilter::Skipped) << "";
        QTest::newRow("parenthesised: and still finds its own row")
            << "project=3 OR project=2" << "raw/Harbour/CardA/00001.MTS" << int(ScanFilter::Accepted) << "";
        QTest::newRow("a quote in the path is bound, not pasted")
            << "project=1" << "raw/Wedding/CardA/it's.MTS" << int(ScanFilter::Accepted) << "";
        QTest::newRow("rejected by the server: unknown column")
            << "projekt=1" << "raw/Wedding/CardA/CLIP7.MTS" << int(ScanFilter::Failed) << "projekt";
        QTest::newRow("rejected: a bracket that closes the statement's own")
            << "1) OR (1=1" << "raw/Wedding/CardB/CLIP8.MTS" << int(ScanFilter::Failed)
            << "the condition closes a bracket it did not open";
        QTest::newRow("rejected: an open bracket")
            << "(project=1" << "raw/Wedding/CardA/CLIP7.MTS" << int(ScanFilter::Failed)
            << "the condition leaves a bracket open";
        QTest::newRow("rejected: an open quotation")
            << "filename='raw" << "raw/Wedding/CardA/CLIP7.MTS" << int(ScanFilter::Failed)
            << "the condition leaves a quotation open";
        QTest::newRow("brackets inside quotes do not count")
            << "filename LIKE '%)%' OR project=1" << "raw/Wedding/CardA/CLIP7.MTS" << int(ScanFilter::Accepted) << "";
    }

    void verdicts()
    {
        QFETCH(QString, condition);
        QFETCH(QString, clip);
        QFETCH(int, verdict);
        QFETCH(QString, error);
        ScanFilter filter(true, condition);
        QVERIFY(filter.isActive());
        QCOMPARE(filter.statement(), "Select id from shots Where filename=:fn AND (" + condition + ")");
        const bool checked = filter.check();
        QCOMPARE(checked, verdict != ScanFilter::Failed);
        if (!checked)
            QVERIFY2(filter.errorString().contains(error), qPrintable(filter.errorString()));
        QCOMPARE(int(filter.verdict(clip)), verdict);
    }

    void emptyConditionFiltersNothing_data()
    {
        QTest::addColumn<bool>("online");
        QTest::addColumn<QString>("condition");
        QTest::newRow("online, empty") << true << "";
        QTest::newRow("online, blanks") << true << "   ";
        QTest::newRow("offline, a condition") << false << "projekt=1";
    }

    void emptyConditionFiltersNothing()
    {
        QFETCH(bool, online);
        QFETCH(QString, condition);
        ScanFilter filter(online, condition);
        QVERIFY(!filter.isActive());
        QVERIFY(filter.check());
        QCOMPARE(int(filter.verdict("raw/none/x.MTS")), int(ScanFilter::Accepted));
    }

    void onlineRun_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<bool>("rejected");
        QTest::newRow("project 1 only") << "project=1" << QStringList{"raw/Wedding/CardA/CLIP7.MTS"} << false;
        QTest::newRow("rejected condition queues nothing") << "projekt=1" << QStringList() << true;
    }

    void onlineRun()
    {
        QFETCH(QString, condition);
        QFETCH(QStringList, queued);
        QFETCH(bool, rejected);

        QVERIFY(QDir::setCurrent(root.path()));
        QDir("raw").removeRecursively();
        QDir("transcode").removeRecursively();
        createFile("raw/Wedding/CardA/CLIP7.MTS");
        createFile("raw/Wedding/CardB/CLIP8.MTS");
        createFile("raw/Harbour/CardA/00001.MTS");
        // No encoder anywhere: the run ends after the scan, jobs not run.
        ClientState::instance()->connected = 1;
        ClientState::instance()->startDir = new QDir(start.path());
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", start.path().toLocal8Bit());

        auto *window = new TranscodeDialog; // never deleted: that ends the process
        window->findChild<QLineEdit *>("conditionEdit")->setText(condition);
        window->findChild<QCheckBox *>("mp4Box")->setChecked(true);
        window->findChild<QPushButton *>("beginButton")->click();
        QTRY_VERIFY(window->findChild<QPushButton *>("beginButton")->isEnabled());
        qputenv("PATH", savedPath);

        auto *jobs = window->findChild<JobListModel *>();
        QStringList sources;
        for (int row = 0; row < jobs->rowCount(); ++row)
            sources << jobs->entry(row).job.source;
        QCOMPARE(sources, queued);
        const QString message = window->findChild<QLabel *>("messageLabel")->text();
        if (rejected) {
            QVERIFY2(message.startsWith("The condition was rejected, so nothing was queued."), qPrintable(message));
            QVERIFY2(message.contains("projekt"), qPrintable(message));
            QVERIFY(window->findChild<QLabel *>("totalFilesLabel")->text().isEmpty());
        } else {
            QCOMPARE(window->findChild<QLabel *>("totalFilesLabel")->text(), "1");
        }
        window->hide();
    }

    // File > Transcode... encodes the clips of the shots chosen in the main
    // window: the grid's selected rows, or every row the find shows; the
    // condition box still narrows them, and a chosen shot whose clip is not
    // here is said.
    void transcodeFromTheMainWindow_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<QString>("find");
        QTest::addColumn<QString>("condition");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("the selected shots")
            << "selectedShotsButton" << "" << ""
            << QStringList{"raw/Crew/CardA/00001.MTS", "raw/Crew/CardB/00003.MTS"};
        QTest::newRow("the selected shots the condition takes")
            << "selectedShotsButton" << "" << "scene='4' AND location='East pier'"
            << QStringList{"raw/Crew/CardA/00001.MTS"};
        QTest::newRow("the shots the find shows")
            << "foundShotsButton" << "pier" << ""
            << QStringList{"raw/Crew/CardA/00001.MTS", "raw/Crew/CardA/00002.MTS"};
    }

    void transcodeFromTheMainWindow()
    {
        QFETCH(QString, choice);
        QFETCH(QString, find);
        QFETCH(QString, condition);
        QFETCH(QStringList, queued);

        if (!mainWindow) {
            QSqlDatabase db = QSqlDatabase::database();
            const int crew = TestDb::addProject(db, "Crew", QVariant());
            QVERIFY(crew > 0);
            const QList<QPair<QString, QVariantMap>> shots{
                {"raw/Crew/CardA/00001.MTS", {{"location", "East pier"}, {"scene", "4"}}},
                {"raw/Crew/CardA/00002.MTS", {{"location", "West pier"}, {"scene", "5"}}},
                {"raw/Crew/CardB/00003.MTS", {{"location", "Office"}, {"scene", "4"}}},
                {"raw/Crew/CardB/00004.MTS", {{"location", "Office"}}},
                {"raw/Crew/CardC/00005.MTS", {{"location", "Office"}}},   // its clip is not here
            };
            for (int i = 0; i < shots.size(); ++i) {
                const QString md5 = QString(32, QLatin1Char('0' + i));
                crewShots.insert(shots.at(i).first, TestDb::addShot(db, crew, shots.at(i).first, shots.at(i).second, md5));
                QVERIFY(crewShots.value(shots.at(i).first) > 0);
            }
            ConnectionSettings{TestDb::serverText(), TestDb::name(), TestDb::user(), TestDb::password(), root.path()}
                .save();
            QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
            qApp->setQuitOnLastWindowClosed(false);
            QVERIFY(QDir::setCurrent(start.path()));
            whenModal("LoginDialog", [](QWidget *login) {
                login->findChild<QAbstractButton *>("okButton")->click();
            });
            whenModal("ProjectSelector", [](QWidget *chooser) {
                auto *box = chooser->findChild<QComboBox *>("projectBox");
                box->setCurrentIndex(box->findText("Crew", Qt::MatchStartsWith));
                chooser->findChild<QAbstractButton *>("editButton")->click();
            });
            mainWindow = new MainWindow;
            QVERIFY(mainWindow->isVisible());
        }
        QCOMPARE(QDir::currentPath(), QDir(root.path()).canonicalPath());
        QDir("raw").removeRecursively();
        QDir("transcode").removeRecursively();
        for (const char *clip : {"raw/Crew/CardA/00001.MTS", "raw/Crew/CardA/00002.MTS", "raw/Crew/CardB/00003.MTS",
                                 "raw/Crew/CardB/00004.MTS", "raw/Crew/CardD/00009.MTS"})
            createFile(clip);

        auto *grid = mainWindow->findChild<GridWidget *>();
        mainWindow->findChild<QLineEdit *>("findEdit")->setText(find);
        QTRY_COMPARE_WITH_TIMEOUT(grid->model->rowCount(), find.isEmpty() ? 5 : 2, 20000);
        QVERIFY(settle(grid));
        // Shots 1, 3 and 5 selected, by clicking their rows.
        grid->selectionModel()->clearSelection();
        const QStringList picked{"raw/Crew/CardA/00001.MTS", "raw/Crew/CardB/00003.MTS", "raw/Crew/CardC/00005.MTS"};
        for (const QString &clip : picked) {
            const int row = grid->model->rowOfId(crewShots.value(clip));
            if (row >= 0)
                grid->selectionModel()->select(grid->model->index(row, 0),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }

        // No encoder anywhere: the jobs are queued and fail, none runs.
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", start.path().toLocal8Bit());
        mainWindow->findChild<QAction *>("transcodeAction")->trigger();
        TranscodeDialog *window = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *dialog = qobject_cast<TranscodeDialog *>(widget); dialog && dialog->isVisible())
                window = dialog;
        }
        QVERIFY(window);
        auto *selected = window->findChild<QRadioButton *>("selectedShotsButton");
        QCOMPARE(selected->text(), find.isEmpty() ? "Selected shots (3)" : "Selected shots (1)");
        QCOMPARE(window->findChild<QRadioButton *>("foundShotsButton")->text(),
                 find.isEmpty() ? "Shots found by the find (5)" : "Shots found by the find (2)");
        QVERIFY(selected->isChecked());
        window->findChild<QRadioButton *>(choice)->click();
        window->findChild<QLineEdit *>("conditionEdit")->setText(condition);
        window->findChild<QCheckBox *>("mp4Box")->setChecked(true);
        window->findChild<QPushButton *>("beginButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QPushButton *>("beginButton")->isEnabled(), 20000);
        qputenv("PATH", savedPath);

        auto *jobs = window->findChild<JobListModel *>();
        QStringList sources;
        for (int row = 0; row < jobs->rowCount(); ++row)
            sources << jobs->entry(row).job.source;
        QCOMPARE(sources, queued);
        QCOMPARE(window->findChild<QLabel *>("totalFilesLabel")->text(), QString::number(queued.size()));
        // The log holds this run's notes only.
        const QString log = window->findChild<QTextEdit *>("logEdit")->toPlainText();
        QCOMPARE(log.contains("1 of the chosen shots have no clip below raw/ on this computer, so they are not "
                              "encoded: raw/Crew/CardC/00005.MTS"),
                 choice == "selectedShotsButton");

        // Cancel hides the window and leaves the client running.
        window->findChild<QPushButton *>("cancelButton")->click();
        QVERIFY(!window->isVisible());
        QVERIFY(mainWindow->isVisible());
        mainWindow->findChild<QLineEdit *>("findEdit")->clear();
    }
};

QTEST_MAIN(TestTranscodeFilter)
#include "tst_transcodefilter.moc"
