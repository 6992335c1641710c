// Does the window keep answering while the database works? Seeds 300,000
// shots (100,000 in one project), drives the real main window through
// opening, sorting, finding, refreshing, saving, a bulk edit of 10,000
// shots and an export, and prints for each the longest gap between two
// iterations of the GUI thread's event loop (a zero-interval timer ticks in
// every iteration), beside the target of 100 ms. Then, with the server
// stopped (SIGSTOP), how long a resize waits for its repaint while a save
// waits for the server, and how long Cancel takes to end the waiting work.
// With posters for 30,000 of the shots: how soon after a scroll the posters
// in view are shown, and the memory they take; and how long the window
// stalls over 30 posters of 5760x5760 pixels.
//
// Run through scripts/bench, which starts a throwaway server and exports
// TAVELO_TEST_DB_* (the stalled part needs TAVELO_TEST_DB_PID).

#include "app/mainwindow.h"
#include "db/connectionsettings.h"
#include "media/posterfetcher.h"
#include "shots/gridwidget.h"
#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"
#include "shotseed.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QBuffer>
#include <QImage>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {
using BenchSeed::projectShots;
using BenchSeed::report;

using BenchSeed::StallMeter;

// Starts action from the event loop (as a user's key or click does) and
// runs the loop until done() holds; returns the time taken in ms, or -1.
double runUntil(const std::function<void()> &action, const std::function<bool()> &done, int timeoutMs = 120000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(0, qApp, action);
    QCoreApplication::processEvents();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return clock.nsecsElapsed() / 1e6;
}

QVariant scalar(QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement) || !query.next())
        return QVariant();
    return query.value(0);
}

// Repaints of one widget, counted.
class PaintWatch : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    if (!TestDb::configured()) {
        std::fprintf(stderr, "bench_responsive: no database; run it through scripts/bench\n");
        return 1;
    }
    QSqlDatabase seedDb = TestDb::open(QStringLiteral("seed"));
    if (!seedDb.isOpen()) {
        std::fprintf(stderr, "bench_responsive: %s\n", qPrintable(seedDb.lastError().text()));
        return 1;
    }
    const int large = BenchSeed::seed(seedDb);
    if (!large)
        return 1;
    // One poster picture for the first 30,000 shots of the large project.
    const int posterRows = 30000;
    {
        QImage frame(320, 180, QImage::Format_RGB32);
        for (int y = 0; y < 180; ++y) {
            for (int x = 0; x < 320; ++x)
                frame.setPixel(x, y, qRgb(x % 256, (x + y) % 256, y));
        }
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        frame.save(&buffer, "JPG", 80);
        QSqlQuery posters(seedDb);
        posters.exec(QStringLiteral("DELETE FROM shot_posters"));
        posters.prepare(QStringLiteral("INSERT INTO shot_posters (MD5, SHA1, image, width, height) SELECT MD5, SHA1, "
                                       "?, 320, 180 FROM shots WHERE project = ? ORDER BY id LIMIT %1")
                            .arg(posterRows));
        posters.addBindValue(jpeg);
        posters.addBindValue(large);
        if (!posters.exec()) {
            std::fprintf(stderr, "bench_responsive: %s\n", qPrintable(posters.lastError().text()));
            return 1;
        }
        std::printf("  %d posters of %lld bytes each\n", posterRows, qint64(jpeg.size()));
    }
    const QString rootPath = qEnvironmentVariable("TAVELO_BENCH_DIR", QDir::tempPath());
    ConnectionSettings{TestDb::serverText(), TestDb::name(), TestDb::user(), TestDb::password(), rootPath}
        .save();

    StallMeter meter;
    QElapsedTimer sinceEdit;
    whenModal("LoginDialog", [](QWidget *login) { login->findChild<QAbstractButton *>("okButton")->click(); });
    whenModal("ProjectSelector", [&](QWidget *chooser) {
        auto *box = chooser->findChild<QComboBox *>("projectBox");
        box->setCurrentIndex(box->findText("Large project"));
        meter.reset();
        sinceEdit.start();
        chooser->findChild<QAbstractButton *>("editButton")->click();
    });
    auto *window = new MainWindow; // never deleted: its destructor ends the process
    auto *grid = window->findChild<GridWidget *>();
    auto *info = window->findChild<ShotInfoWidget *>();
    if (!grid || !info) {
        std::fprintf(stderr, "bench_responsive: the main window was not built\n");
        return 1;
    }
    ShotTableModel *model = grid->model;
    auto idle = [model]() { return !model->isBusy(); };
    while (model->rowCount() != projectShots || !idle())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    window->resize(1200, 800);
    QCoreApplication::processEvents();
    std::printf("  open: %.0f ms until the grid was filled\n", sinceEdit.nsecsElapsed() / 1e6);
    report("longest GUI stall: open the project", meter.worstMs(), "ms", 100);

    // Posters: scroll to places among the shots that have one; each time,
    // how soon every row in view shows its poster.
    {
        auto postersInView = [&]() {
            const int first = qMax(0, grid->rowAt(0));
            const int last = grid->rowAt(grid->viewport()->height() - 1);
            for (int row = first; row <= last; ++row) {
                if (grid->posterOfRow(row).isNull())
                    return false;
            }
            return last > first;
        };
        double worstMs = 0;
        meter.reset();
        for (int step = 0; step < 10; ++step) {
            const int row = 1000 + step * 2700;
            const double ms = runUntil(
                [&]() { grid->scrollTo(model->index(row, 0), QAbstractItemView::PositionAtTop); }, postersInView, 10000);
            worstMs = qMax(worstMs, ms < 0 ? 10000.0 : ms);
        }
        report("posters in view shown after a scroll (slowest of 10)", worstMs, "ms", 300);
        report("longest GUI stall: scrolling with posters", meter.worstMs(), "ms", 100);
        const double posterMb = grid->posters() ? grid->posters()->cacheBytes() / 1048576.0 : -1;
        std::printf("  posters kept: %.1f MB of decoded pictures, and the small ones the grid shows\n", posterMb);
        report("memory for posters (kept pictures, bounded)", posterMb + 8, "MB", 64);
        grid->scrollToTop();
    }

    // Another tool stored 5760x5760 JPEGs as posters of 30 shots: scrolling
    // them into view and showing one in the form must not hold the window
    // (each took 0.5 s to decode on the GUI thread).
    {
        constexpr int hugeRow = 24000; // not in view, nor fetched, before
        QImage huge(5760, 5760, QImage::Format_RGB32);
        for (int y = 0; y < huge.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(huge.scanLine(y));
            for (int x = 0; x < huge.width(); ++x)
                line[x] = qRgb(x % 256, (x + y) % 256, y % 256);
        }
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        huge.save(&buffer, "JPG", 80);
        huge = QImage();
        QSqlQuery update(seedDb);
        update.prepare(QStringLiteral("UPDATE shot_posters p JOIN (SELECT MD5, SHA1 FROM shots WHERE project = ? "
                                      "ORDER BY id LIMIT 30 OFFSET %1) s ON p.MD5 = s.MD5 AND p.SHA1 = s.SHA1 "
                                      "SET p.image = ?")
                           .arg(hugeRow));
        update.addBindValue(large);
        update.addBindValue(jpeg);
        if (!update.exec()) {
            std::fprintf(stderr, "bench_responsive: %s\n", qPrintable(update.lastError().text()));
            return 1;
        }
        std::printf("  30 posters of 5760x5760 pixels, %lld bytes each\n", qint64(jpeg.size()));
        const int md5 = model->fieldIndex("MD5");
        const int sha1 = model->fieldIndex("SHA1");
        // The huge ones in view, and how many of them are refused.
        auto inView = [&]() { return qMin(hugeRow + 30, grid->rowAt(grid->viewport()->height() - 1) + 1) - hugeRow; };
        auto refusedCount = [&]() {
            PosterFetcher *posters = grid->posters();
            int count = 0;
            for (int row = hugeRow; posters && row < hugeRow + 30; ++row) {
                const QByteArray rowMd5 = model->storedValue(row, md5).toString().toLatin1();
                const QByteArray rowSha1 = model->storedValue(row, sha1).toString().toLatin1();
                count += posters->refusal(rowMd5, rowSha1).isEmpty() ? 0 : 1;
            }
            return count;
        };
        meter.reset();
        const double ms = runUntil(
            [&]() {
                grid->scrollTo(model->index(hugeRow, 0), QAbstractItemView::PositionAtTop);
                grid->setCurrentIndex(model->index(hugeRow + 1, model->fieldIndex("scene")));
            },
            [&]() { return refusedCount() >= inView() && !info->posterView()->text().isEmpty(); }, 10000);
        std::printf("  %d huge posters refused (%d in view) after %.0f ms; the form: \"%s\"\n", refusedCount(),
                    inView(), ms, qPrintable(info->posterView()->text()));
        report("longest GUI stall: scrolling over 5760x5760 posters", meter.worstMs(), "ms", 100);
        grid->scrollToTop();
    }

    const int scene = model->fieldIndex("scene");
    const QString firstScene =
        scalar(seedDb, QStringLiteral("SELECT scene FROM shots WHERE project=%1 ORDER BY scene, id LIMIT 1")
                           .arg(large))
            .toString();
    meter.reset();
    double ms = runUntil([&]() { grid->sortByColumn(scene, Qt::AscendingOrder); },
                         [&]() { return idle() && model->data(model->index(0, scene)).toString() == firstScene; });
    std::printf("  sort: %.0f ms\n", ms);
    report("longest GUI stall: sort by a column", meter.worstMs(), "ms", 100);

    auto *find = window->findChild<QLineEdit *>("findEdit");
    meter.reset();
    ms = runUntil([&]() { QTest::keyClicks(find, "Pier 1"); },
                  [&]() { return idle() && model->rowCount() > 0 && model->rowCount() < projectShots; });
    std::printf("  find: %.0f ms, %d rows\n", ms, model->rowCount());
    report("longest GUI stall: find", meter.worstMs(), "ms", 100);
    meter.reset();
    ms = runUntil([&]() { QTest::keyClick(find, Qt::Key_Escape); },
                  [&]() { return idle() && model->rowCount() == projectShots; });
    report("longest GUI stall: find cleared", meter.worstMs(), "ms", 100);

    auto *refresh = window->findChild<QAction *>("refreshAction");
    bool refreshed = false;
    meter.reset();
    ms = runUntil(
        [&]() {
            refresh->trigger();
            refreshed = true;
        },
        [&]() { return refreshed && idle(); });
    std::printf("  refresh: %.0f ms\n", ms);
    report("longest GUI stall: refresh", meter.worstMs(), "ms", 100);

    const int id = model->data(model->index(5, model->fieldIndex("id"))).toInt();
    grid->setCurrentIndex(model->index(5, scene));
    QCoreApplication::processEvents();
    meter.reset();
    ms = runUntil([&]() { model->setData(model->index(5, scene), QStringLiteral("saved")); },
                  [&]() {
                      return idle()
                          && scalar(seedDb, QStringLiteral("SELECT scene FROM shots WHERE id=%1").arg(id)).toString()
                          == QLatin1String("saved");
                  });
    std::printf("  save: %.0f ms\n", ms);
    report("longest GUI stall: save one cell", meter.worstMs(), "ms", 100);

    // A bulk edit: 10,000 whole rows selected, one field typed in the form.
    grid->setCurrentIndex(model->index(0, scene));
    grid->selectionModel()->select(QItemSelection(model->index(0, 0), model->index(9999, model->columnCount() - 1)),
                                   QItemSelectionModel::ClearAndSelect);
    QCoreApplication::processEvents();
    auto *takesEdit = info->findChild<QLineEdit *>("takesEdit");
    meter.reset();
    ms = runUntil(
        [&]() {
            takesEdit->setFocus();
            takesEdit->setText(QStringLiteral("bulk"));
            emit takesEdit->textEdited(takesEdit->text());
            QTest::keyClick(takesEdit, Qt::Key_Return);
        },
        [&]() {
            return idle() && scalar(seedDb, QStringLiteral("SELECT count(*) FROM shots WHERE takes='bulk'")).toInt() >= 10000;
        });
    std::printf("  bulk edit of 10,000 shots: %.0f ms\n", ms);
    report("longest GUI stall: bulk edit of 10,000 shots", meter.worstMs(), "ms", 100);
    grid->setCurrentIndex(model->index(0, scene));
    QCoreApplication::processEvents();

    const QString path = QDir(rootPath).filePath(QStringLiteral("responsive.csv"));
    QFile::remove(path);
    whenModal("QFileDialog", [path](QWidget *widget) {
        widget->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(widget)->accept();
    });
    auto *exportAction = window->findChild<QAction *>("exportAction");
    meter.reset();
    ms = runUntil([&]() { exportAction->trigger(); }, [&]() { return idle() && QFile::exists(path); });
    std::printf("  export: %.0f ms\n", ms);
    report("longest GUI stall: export 100,000 shots", meter.worstMs(), "ms", 100);
    QFile::remove(path);

    // The server stops answering while a save waits.
    const qint64 serverPid = qEnvironmentVariableIntValue("TAVELO_TEST_DB_PID");
    if (serverPid > 0) {
        PaintWatch watch;
        window->installEventFilter(&watch);
        ::kill(pid_t(serverPid), SIGSTOP);
        QElapsedTimer stalled;
        stalled.start();
        meter.reset();
        QTimer::singleShot(0, qApp, [&]() { model->setData(model->index(7, scene), QStringLiteral("stalled")); });
        // The resize is due 300 ms after the save started; a window blocked
        // in the save handles it only when the save gives up.
        int paintsBefore = 0;
        bool resized = false;
        QTimer::singleShot(300, qApp, [&]() {
            paintsBefore = watch.paints;
            resized = true;
            window->resize(1100, 760);
        });
        while ((!resized || watch.paints == paintsBefore) && stalled.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double repaintMs = stalled.nsecsElapsed() / 1e6 - 300;
        report("server stopped: a resize repainted after", repaintMs, "ms", 100);
        auto *cancel = window->findChild<QPushButton *>("busyCancelButton");
        if (cancel) {
            QTest::qWait(1500); // the busy note shows after about a second
            QElapsedTimer sinceCancel;
            sinceCancel.start();
            cancel->click();
            while (!idle() && sinceCancel.elapsed() < 60000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            report("server stopped: Cancel ended the waiting work after", sinceCancel.nsecsElapsed() / 1e6, "ms",
                   1000);
        } else {
            while (!idle() && stalled.elapsed() < 120000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::printf("  (no Cancel: the work ended by itself after %.0f ms)\n", stalled.nsecsElapsed() / 1e6);
        }
        report("server stopped: longest GUI stall", meter.worstMs(), "ms", 100);
        ::kill(pid_t(serverPid), SIGCONT);
    }
    std::fflush(stdout);
    std::_Exit(0);
}
