// Logging at speed on a large project: seeds 300,000 shots, 100,000 of
// them in one project, then drives the real main window: the window with
// a restored layout after "Edit Project", one more character typed into
// the find field until the narrowed grid is painted, a bulk edit of one
// field on 1,000 selected shots, and an export of the 100,000 shots to CSV.
// Each figure is printed beside its target.
//
// Run through scripts/bench, which starts a throwaway server and exports
// TAVELO_TEST_DB_*.

#include "app/mainwindow.h"
#include "db/connectionsettings.h"
#include "shots/csvexport.h"
#include "shots/gridwidget.h"
#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"
#include "shotseed.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QSplitter>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <cstdio>
#include <cstdlib>

namespace {
using BenchSeed::projectShots;
using BenchSeed::report;
using BenchSeed::totalShots;
using BenchSeed::waitIdle;

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

void paintNow(QWidget *window)
{
    QCoreApplication::processEvents();
    window->repaint();
    QCoreApplication::processEvents();
}

// Builds the main window through both dialogs on the large project; the
// clock starts at "Edit Project". Never deleted: its destructor ends the
// process.
MainWindow *openLarge(QElapsedTimer *sinceEdit)
{
    whenModal("LoginDialog", [](QWidget *login) {
        login->findChild<QAbstractButton *>("okButton")->click();
    });
    whenModal("ProjectSelector", [sinceEdit](QWidget *chooser) {
        auto *box = chooser->findChild<QComboBox *>("projectBox");
        box->setCurrentIndex(box->findText("Large project"));
        sinceEdit->start();
        chooser->findChild<QAbstractButton *>("editButton")->click();
    });
    return new MainWindow;
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    if (!TestDb::configured()) {
        std::fprintf(stderr, "bench_logging: no database; run it through scripts/bench\n");
        return 1;
    }
    const QString server = TestDb::serverText();
    QSqlDatabase seedDb = TestDb::open(QStringLiteral("seed"));
    if (!seedDb.isOpen()) {
        std::fprintf(stderr, "bench_logging: %s\n", qPrintable(seedDb.lastError().text()));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    if (!BenchSeed::seed(seedDb))
        return 1;
    std::printf("seeded %d shots (%d in the large project) in %.1f s\n", totalShots, projectShots,
                clock.elapsed() / 1000.0);
    const QString rootPath = env("TAVELO_BENCH_DIR").isEmpty() ? QDir::tempPath() : env("TAVELO_BENCH_DIR");
    ConnectionSettings{server, TestDb::name(), TestDb::user(),
                       TestDb::password(), rootPath}
        .save();

    // A first window leaves a layout behind (size, splitter, a moved,
    // a hidden and a widened column, sorted by scene).
    QElapsedTimer sinceEdit;
    MainWindow *first = openLarge(&sinceEdit);
    auto *firstGrid = first->findChild<GridWidget *>();
    if (!firstGrid || !first->isVisible()) {
        std::fprintf(stderr, "bench_logging: the main window was not built\n");
        return 1;
    }
    waitIdle(firstGrid->model);
    first->resize(1200, 800);
    qobject_cast<QSplitter *>(first->centralWidget())->setSizes({520, 4, 276});
    QHeaderView *firstHeader = firstGrid->horizontalHeader();
    const int scene = firstGrid->model->fieldIndex("scene");
    firstHeader->moveSection(firstHeader->visualIndex(firstGrid->model->fieldIndex("notes")), 2);
    firstGrid->hideColumn(firstGrid->model->fieldIndex("SHA1"));
    firstHeader->resizeSection(scene, 140);
    firstGrid->sortByColumn(scene, Qt::AscendingOrder);
    waitIdle(firstGrid->model);
    paintNow(first);
    first->close();

    MainWindow *window = openLarge(&sinceEdit);
    auto *grid = window->findChild<GridWidget *>();
    auto *info = window->findChild<ShotInfoWidget *>();
    ShotTableModel *model = grid->model;
    // Shown once the rows are in (the values used for completion and the
    // history come after, without holding anything up).
    // In the order restored: the rows of that read.
    while ((model->rowCount() != projectShots || model->isBusy()) && sinceEdit.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    paintNow(window);
    const double shownMs = sinceEdit.nsecsElapsed() / 1e6;
    waitIdle(model);
    if (model->rowCount() != projectShots || window->size() != QSize(1200, 800)
        || grid->horizontalHeader()->sortIndicatorSection() != scene) {
        std::fprintf(stderr, "bench_logging: the layout was not restored (%d rows)\n", model->rowCount());
        return 1;
    }
    report("window with restored layout shown after \"Edit Project\"", shownMs, "ms", 1000);

    // One more character in the find field, including the pause the field
    // waits for while the user types, until the narrowed grid is painted.
    auto *find = window->findChild<QLineEdit *>("findEdit");
    find->setFocus();
    QTest::keyClicks(find, "notes 1");
    while (model->rowCount() == projectShots)
        QTest::qWait(10);
    waitIdle(model);
    paintNow(window);
    const int before = model->rowCount();
    double worstFindMs = 0;
    double worstAfterPauseMs = 0;
    QElapsedTimer afterPause;
    for (const char key : {'2', '3', '4'}) {
        const ShotQuery asked = model->query();
        clock.restart();
        QTest::keyClick(find, key);
        while (model->query() == asked && clock.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        // The typing pause is over: the filter goes to the server.
        afterPause.start();
        waitIdle(model);
        paintNow(window);
        const double ms = clock.nsecsElapsed() / 1e6;
        const double serverMs = afterPause.nsecsElapsed() / 1e6;
        worstFindMs = qMax(worstFindMs, ms);
        worstAfterPauseMs = qMax(worstAfterPauseMs, serverMs);
        std::printf("  find \"%s\": %d rows, %8.1f ms, of it %.1f ms from the filter change to the painted grid\n",
                    qPrintable(find->text()), model->rowCount(), ms, serverMs);
    }
    (void)before;
    report("one more character typed: narrowed grid shown (slowest)", worstFindMs, "ms", 300);
    report("  the same without the 150 ms typing pause (slowest)", worstAfterPauseMs, "ms", 300);
    QTest::keyClick(find, Qt::Key_Escape);
    waitIdle(model);
    paintNow(window);

    // A bulk edit: 1,000 whole rows selected, one field changed in the form.
    grid->setCurrentIndex(model->index(0, scene));
    grid->selectionModel()->select(QItemSelection(model->index(0, 0), model->index(999, model->columnCount() - 1)),
                                   QItemSelectionModel::ClearAndSelect);
    if (info->bulkSelection().size() != 1000) {
        std::fprintf(stderr, "bench_logging: %d rows in the bulk edit\n", int(info->bulkSelection().size()));
        return 1;
    }
    auto *takes = info->findChild<QLineEdit *>("takesEdit");
    takes->setText(QStringLiteral("bulk"));
    emit takes->textEdited(takes->text());
    clock.restart();
    const bool saved = info->saveChanges();
    waitIdle(model);
    paintNow(window);
    const double bulkMs = clock.nsecsElapsed() / 1e6;
    QSqlQuery check(seedDb);
    check.exec(QStringLiteral("SELECT count(*) FROM shots WHERE takes = 'bulk'"));
    check.next();
    std::printf("  bulk edit saved: %s, %d shots hold the new value\n", saved ? "yes" : "no", check.value(0).toInt());
    report("bulk edit of one field on 1,000 selected shots", bulkMs, "ms", 1000);

    // The export of every shot shown.
    grid->setCurrentIndex(model->index(0, scene));
    const QString path = QDir(rootPath).filePath("export.csv");
    clock.restart();
    const Csv::Result exported = exportShownShots(model, path);
    const double exportMs = clock.nsecsElapsed() / 1e6;
    std::printf("  export: %d rows, %.1f MB%s\n", exported.rows, QFileInfo(path).size() / 1e6,
                exported.ok ? "" : qPrintable(" FAILED: " + exported.error));
    report("export of 100,000 shots to CSV", exportMs, "ms", 3000);
    QFile::remove(path);
    std::fflush(stdout);
    std::_Exit(0);
}
