// Edits with a memory on a large project: seeds 300,000 shots (100,000 in
// one project) and measures, through the model and the edits object the
// window uses, a checked save with its history row, a bulk edit of 1,000
// shots with history, the undo of that bulk edit, and the history of a shot
// with 1,000 changes read for the panel. Each figure is the time until the
// result is back on the GUI thread, printed beside its target.
//
// Run through scripts/bench, which starts a throwaway server and exports
// TAVELO_TEST_DB_*.

#include "db/dbworker.h"
#include "shots/shotedits.h"
#include "shots/shothistorymodel.h"
#include "shots/shottablemodel.h"
#include "shotseed.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

namespace {
using BenchSeed::projectShots;
using BenchSeed::report;
using BenchSeed::waitIdle;
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (!TestDb::configured()) {
        std::fprintf(stderr, "bench_edits: no database; run it through scripts/bench\n");
        return 1;
    }
    QSqlDatabase seedDb = TestDb::open(QStringLiteral("seed"));
    QSqlDatabase login = TestDb::open(); // the connection the worker copies
    if (!seedDb.isOpen() || !login.isOpen()) {
        std::fprintf(stderr, "bench_edits: %s\n", qPrintable(seedDb.lastError().text()));
        return 1;
    }
    const int large = BenchSeed::seed(seedDb);
    if (!large)
        return 1;
    QSqlQuery(seedDb).exec(QStringLiteral("DELETE FROM shot_changes"));

    ShotEdits edits;
    ShotTableModel model(nullptr, &edits);
    model.setTable(QStringLiteral("shots"));
    QElapsedTimer clock;
    clock.start();
    model.setProject(large);
    waitIdle(&model);
    std::printf("  %d shots read in %.0f ms\n", model.rowCount(), clock.nsecsElapsed() / 1e6);
    if (model.rowCount() != projectShots) {
        std::fprintf(stderr, "bench_edits: %d rows read\n", model.rowCount());
        return 1;
    }
    const int scene = model.fieldIndex(QStringLiteral("scene"));
    const int takes = model.fieldIndex(QStringLiteral("takes"));

    // A checked save with its history row, until the result is back.
    double worstSaveMs = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        clock.restart();
        model.setData(model.index(5000 + attempt, scene), QStringLiteral("saved %1").arg(attempt));
        waitIdle(&model);
        worstSaveMs = qMax(worstSaveMs, clock.nsecsElapsed() / 1e6);
    }
    report("checked save with its history row (slowest of 10)", worstSaveMs, "ms", 50);

    // A bulk edit of 1,000 shots, one change set.
    QList<qlonglong> shots;
    for (int row = 20000; row < 21000; ++row) {
        const qlonglong shot = model.shotOfRow(row);
        edits.type(shot, QStringLiteral("takes"), model.storedValue(row, takes), QStringLiteral("bulk"));
        shots << shot;
    }
    clock.restart();
    edits.save(shots);
    waitIdle(&model);
    report("bulk edit of 1,000 shots with history", clock.nsecsElapsed() / 1e6, "ms", 1500);
    QSqlQuery check(seedDb);
    check.exec(QStringLiteral("SELECT COUNT(*), COUNT(DISTINCT change_set) FROM shot_changes WHERE new_value = 'bulk'"));
    check.next();
    std::printf("  %d history rows in %d change set(s)\n", check.value(0).toInt(), check.value(1).toInt());

    clock.restart();
    edits.undo();
    waitIdle(&model);
    report("undo of that bulk edit", clock.nsecsElapsed() / 1e6, "ms", 1500);
    check.exec(QStringLiteral("SELECT COUNT(*) FROM shots WHERE takes = 'bulk'"));
    check.next();
    std::printf("  shots still holding the bulk value: %d\n", check.value(0).toInt());

    // A shot with 1,000 changes, as the History panel reads it.
    const qlonglong busyShot = model.shotOfRow(30000);
    QSqlQuery history(seedDb);
    QStringList rows;
    for (int i = 0; i < 1000; ++i)
        rows << QStringLiteral("(%1, 'scene', '%2', '%3', %4, 'bench', 'bench-host', 'bench@localhost')")
                    .arg(busyShot)
                    .arg(i)
                    .arg(i + 1)
                    .arg(1000000 + i);
    if (!history.exec(QStringLiteral("INSERT INTO shot_changes (shot_id, column_name, old_value, new_value, "
                                     "change_set, os_user, host, db_user) VALUES ")
                      + rows.join(QLatin1Char(',')))) {
        std::fprintf(stderr, "bench_edits: %s\n", qPrintable(history.lastError().text()));
        return 1;
    }
    double worstPanelMs = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ShotHistoryModel panel;
        bool loaded = false;
        QObject::connect(&panel, &ShotHistoryModel::loaded, &panel, [&loaded]() { loaded = true; });
        clock.restart();
        panel.showShot(busyShot);
        while (!loaded && clock.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        worstPanelMs = qMax(worstPanelMs, clock.nsecsElapsed() / 1e6);
        if (panel.rowCount() != 1000) {
            std::fprintf(stderr, "bench_edits: the panel shows %d changes\n", panel.rowCount());
            return 1;
        }
    }
    report("history of a shot with 1,000 changes read (slowest of 5)", worstPanelMs, "ms", 100);
    std::fflush(stdout);
    std::_Exit(0);
}
