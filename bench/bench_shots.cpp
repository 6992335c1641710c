// Browsing a large project: seeds 300,000 shots, 100,000 of them in one
// project, then drives the real client through the login and "Edit Project"
// and measures how long the main window takes to show the filled grid, a
// header click takes to re-sort, and an edit takes to be saved with the grid
// back in place, and how much memory the client holds; then the shared
// editing figures: a save with its old-value check and the row read back,
// Refresh with the place kept, and a move to a row with its re-read.
//
// Run through scripts/bench, which starts a throwaway server and exports
// TAVELO_TEST_DB_*.

#include "app/clientstate.h"
#include "app/mainwindow.h"
#include "db/connectionsettings.h"
#include "shots/gridwidget.h"
#include "shots/shotinfowidget.h"
#include "shots/shotedits.h"
#include "shots/shottablemodel.h"
#include "shotseed.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDataWidgetMapper>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QTextEdit>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

namespace {
using BenchSeed::projectShots;
using BenchSeed::report;
using BenchSeed::totalShots;
using BenchSeed::waitIdle;

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

// Kilobytes of a line of /proc/self/status ("VmRSS", "VmHWM"); -1 elsewhere.
long statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Paints the window now, as the screen would, so that figures include
// reading the visible rows.
void paintNow(QWidget *window)
{
    QCoreApplication::processEvents();
    window->repaint();
    QCoreApplication::processEvents();
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (!TestDb::configured()) {
        std::fprintf(stderr, "bench_shots: no database; run it through scripts/bench\n");
        return 1;
    }
    const QString server = TestDb::serverText();
    QSqlDatabase seedDb = TestDb::open(QStringLiteral("seed"));
    if (!seedDb.isOpen()) {
        std::fprintf(stderr, "bench_shots: %s\n", qPrintable(seedDb.lastError().text()));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    const int large = BenchSeed::seed(seedDb);
    if (!large)
        return 1;
    std::printf("seeded %d shots (%d in the large project) in %.1f s\n", totalShots, projectShots,
                clock.elapsed() / 1000.0);
    const long baseKb = statusKb("VmRSS");

    const QString rootPath = env("TAVELO_BENCH_DIR").isEmpty() ? QDir::tempPath() : env("TAVELO_BENCH_DIR");
    ConnectionSettings{server, TestDb::name(), TestDb::user(),
                       TestDb::password(), rootPath}
        .save();

    QElapsedTimer sinceEdit;
    whenModal("LoginDialog", [](QWidget *login) {
        login->findChild<QAbstractButton *>("okButton")->click();
    });
    whenModal("ProjectSelector", [&sinceEdit](QWidget *chooser) {
        auto *box = chooser->findChild<QComboBox *>("projectBox");
        box->setCurrentIndex(box->findText("Large project"));
        sinceEdit.start();
        chooser->findChild<QAbstractButton *>("editButton")->click();
    });
    auto *window = new MainWindow; // never deleted: its destructor ends the process
    auto *grid = window->findChild<GridWidget *>();
    auto *info = window->findChild<ShotInfoWidget *>();
    if (!grid || !info || !window->isVisible()) {
        std::fprintf(stderr, "bench_shots: the main window was not built\n");
        return 1;
    }
    window->resize(1200, 800);
    ShotTableModel *model = grid->model;
    // Shown once the rows are in (the values used for completion and the
    // history come after, without holding anything up).
    while (model->rowCount() != projectShots && sinceEdit.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    paintNow(window);
    const double shownMs = sinceEdit.nsecsElapsed() / 1e6;
    waitIdle(model);
    if (model->rowCount() != projectShots) {
        std::fprintf(stderr, "bench_shots: the grid shows %d rows, expected %d\n",
                     model->rowCount(), projectShots);
        return 1;
    }
    report("main window shown, grid filled, after \"Edit Project\"", shownMs, "ms", 1000);

    // Header clicks: the header changes its sort indicator exactly as a
    // click does, and the view re-sorts through the model. A current row far
    // down makes the grid look for it again after each re-sort.
    QHeaderView *header = grid->horizontalHeader();
    const int scene = model->fieldIndex("scene");
    const int filename = model->fieldIndex("filename");
    grid->setCurrentIndex(model->index(projectShots - 10, scene));
    waitIdle(model);
    // The rows held are sorted off the GUI thread: the window keeps
    // turning meanwhile.
    double worstSortMs = 0;
    double worstSortStallMs = 0;
    BenchSeed::StallMeter stalls;
    for (const auto &[column, order] : {std::pair{scene, Qt::DescendingOrder},
                                        std::pair{scene, Qt::AscendingOrder},
                                        std::pair{filename, Qt::AscendingOrder},
                                        std::pair{model->fieldIndex("notes"), Qt::DescendingOrder},
                                        std::pair{0, Qt::AscendingOrder}}) {
        QCoreApplication::processEvents();
        clock.restart();
        stalls.reset();
        header->setSortIndicator(column, order);
        waitIdle(model);
        paintNow(window);
        const double ms = clock.nsecsElapsed() / 1e6;
        worstSortMs = qMax(worstSortMs, ms);
        worstSortStallMs = qMax(worstSortStallMs, stalls.worstMs());
        std::printf("  re-sort by %-8s %-4s %8.1f ms, longest stall %.1f ms\n",
                    qPrintable(model->headerData(column, Qt::Horizontal).toString()),
                    order == Qt::AscendingOrder ? "asc" : "desc", ms, stalls.worstMs());
    }
    report("header click re-sorts (slowest of 5)", worstSortMs, "ms", 300);
    report("  the window's longest stall meanwhile", worstSortStallMs, "ms", 100);

    // One edited cell, deep in the project, with the user's place kept.
    const int row = 60000;
    const QModelIndex cell = model->index(row, scene);
    grid->setCurrentIndex(cell);
    grid->scrollTo(cell, QAbstractItemView::PositionAtCenter);
    paintNow(window);
    const int scroll = grid->verticalScrollBar()->value();
    double worstSaveMs = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        clock.restart();
        const bool saved = model->setData(cell, QStringLiteral("bench %1").arg(attempt));
        waitIdle(model);
        paintNow(window);
        const double ms = clock.nsecsElapsed() / 1e6;
        worstSaveMs = qMax(worstSaveMs, ms);
        if (!saved || grid->currentIndex() != cell || grid->verticalScrollBar()->value() != scroll
            || info->mapper->currentIndex() != row) {
            std::fprintf(stderr, "bench_shots: the save failed or the grid lost its place\n");
            return 1;
        }
    }
    report("one edited cell saved, grid back in place (slowest of 5)", worstSaveMs, "ms", 300);

    clock.restart();
    auto *takes = info->findChild<QLineEdit *>("takesEdit");
    takes->setText(QStringLiteral("7"));
    emit takes->textEdited(takes->text()); // as typing does
    const bool formSaved = info->saveChanges();
    waitIdle(model);
    paintNow(window);
    std::printf("  form edit saved in %.1f ms (%s)\n", clock.nsecsElapsed() / 1e6,
                formSaved ? "ok" : "FAILED");

    // Shared editing: a form save checked against the old values, with the
    // row read back; another client's change makes it also meet a conflict.
    double worstCheckedMs = 0;
    const int editRow = 60010;
    grid->setCurrentIndex(model->index(editRow, scene));
    waitIdle(model);
    paintNow(window);
    auto *location = info->findChild<QTextEdit *>("locationEdit");
    for (int attempt = 0; attempt < 5; ++attempt) {
        location->setFocus();
        location->moveCursor(QTextCursor::End);
        location->textCursor().insertText(QStringLiteral(" %1").arg(attempt));
        clock.restart();
        const bool saved = info->saveChanges();
        waitIdle(model);
        paintNow(window);
        const double ms = clock.nsecsElapsed() / 1e6;
        worstCheckedMs = qMax(worstCheckedMs, ms);
        if (!saved || info->mapper->currentIndex() != editRow) {
            std::fprintf(stderr, "bench_shots: the checked save failed\n");
            return 1;
        }
    }
    report("save with old-value check and history row (slowest of 5)", worstCheckedMs, "ms", 50);

    {
        QSqlQuery other(seedDb);
        other.exec(QStringLiteral("UPDATE shots SET takes = 'theirs' WHERE id = %1")
                       .arg(model->idOfRow(editRow).toInt()));
    }
    clock.restart();
    model->setData(model->index(editRow, model->fieldIndex("takes")), "mine");
    waitIdle(model);
    paintNow(window);
    const double conflictMs = clock.nsecsElapsed() / 1e6;
    report("save that meets another client's change (conflict shown)", conflictMs, "ms", 300);
    if (model->edits()->conflicts().size() != 1) {
        std::fprintf(stderr, "bench_shots: the conflict was not detected\n");
        return 1;
    }
    model->edits()->discardAll();

    // Refresh with the place kept: current cell, a selection, the scroll
    // position and a value typed in the form.
    grid->setCurrentIndex(model->index(editRow, scene));
    grid->selectionModel()->select(QItemSelection(model->index(editRow, scene), model->index(editRow + 3, scene)),
                                   QItemSelectionModel::Select);
    paintNow(window);
    const int placeScroll = grid->verticalScrollBar()->value();
    auto *related = info->findChild<QLineEdit *>("relatedEdit");
    double worstRefreshMs = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        clock.restart();
        grid->update_request();
        waitIdle(model);
        paintNow(window);
        const double ms = clock.nsecsElapsed() / 1e6;
        worstRefreshMs = qMax(worstRefreshMs, ms);
        if (model->rowCount() != projectShots || grid->currentIndex().row() != editRow
            || grid->verticalScrollBar()->value() != placeScroll
            || !grid->selectionModel()->isSelected(model->index(editRow + 3, scene))
            || info->mapper->currentIndex() != editRow) {
            std::fprintf(stderr, "bench_shots: Refresh lost the user's place\n");
            return 1;
        }
    }
    report("Refresh, place kept (slowest of 3)", worstRefreshMs, "ms", 1000);
    related->setFocus();
    related->setText(QStringLiteral("R1"));
    emit related->textEdited(related->text());

    // Moving to a row: the row is read again before the form shows it. The
    // form is filled inside the move; the grid's repaint follows from the
    // event loop and is shown apart (rows far apart cost the driver a walk
    // through its stored result).
    double worstMoveMs = 0;
    double totalMoveMs = 0;
    double worstPaintedMs = 0;
    const int moves = 20;
    grid->setFocus();
    QCoreApplication::processEvents();
    for (int step = 0; step < moves; ++step) {
        const int target = step % 2 ? 99990 - step : 20 + step * 4000;
        clock.restart();
        grid->setCurrentIndex(model->index(target, scene));
        waitIdle(model);
        const double ms = clock.nsecsElapsed() / 1e6;
        QCoreApplication::processEvents();
        worstPaintedMs = qMax(worstPaintedMs, clock.nsecsElapsed() / 1e6);
        worstMoveMs = qMax(worstMoveMs, ms);
        totalMoveMs += ms;
        if (info->mapper->currentIndex() != target) {
            std::fprintf(stderr, "bench_shots: the form did not follow to row %d\n", target);
            return 1;
        }
    }
    std::printf("  move to a row with its re-read: %.1f ms on average; with the grid repainted, "
                "slowest %.1f ms\n",
                totalMoveMs / moves, worstPaintedMs);
    report("move to a row, re-read, form shown (slowest of 20)", worstMoveMs, "ms", 50);

    const long rssKb = statusKb("VmRSS");
    const long peakKb = statusKb("VmHWM");
    std::printf("  memory before the client started: %.1f MB\n", baseKb / 1024.0);
    report("client memory now (resident)", rssKb / 1024.0, "MB", 300);
    report("client memory at its peak (includes seeding)", peakKb / 1024.0, "MB", 300);

    QFile loadAverage(QStringLiteral("/proc/loadavg"));
    if (loadAverage.open(QIODevice::ReadOnly))
        std::printf("  load average during the run (other work skews the figures): %s",
                    loadAverage.readAll().constData());

    window->hide();
    QSqlQuery cleanup(seedDb);
    cleanup.exec("DELETE FROM shots");
    cleanup.exec("DELETE FROM projects");
    return 0;
}
