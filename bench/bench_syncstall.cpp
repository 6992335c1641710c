// Does the chooser's sync window keep answering while the server stalls?
// Syncs 2,000 unchanged small clips through the real sync window
// (PopulateDB, offscreen) and stops the server (SIGSTOP) for 5 s when half
// of them are recorded. Prints the longest gap between two iterations of
// the GUI thread's event loop over the whole sync (a zero-interval timer
// ticks in every iteration), then, in a second sync stalled the same way,
// how soon Cancel is answered (from the click to the summary shown), each
// beside its target.
//
// Run through scripts/bench (bench_syncstall), which starts a throwaway
// server and exports TAVELO_TEST_DB_* (the stall needs TAVELO_TEST_DB_PID).

#include "app/clientstate.h"
#include "db/connectionsettings.h"
#include "projects/populatedb.h"
#include "projects/syncengine.h"
#include "shotseed.h"
#include "testsupport.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

constexpr int clipCount = 2000;
constexpr int stallSeconds = 5;

// Stops the server and has it resumed after stallSeconds by a process of
// its own, so the resume comes on time whatever this process is doing.
void stallServer(qint64 pid)
{
    QString error;
    if (!stopProcess(pid, &error))
        std::fprintf(stderr, "bench_syncstall: %s\n", qPrintable(error));
    QProcess::startDetached(QStringLiteral("sh"),
                            {QStringLiteral("-c"), QStringLiteral("sleep %1; kill -CONT %2").arg(stallSeconds).arg(pid)});
}

bool writeClips(const QString &root)
{
    const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
    for (int i = 0; i < clipCount; ++i) {
        const QString folder = QStringLiteral("%1/raw/Card%2").arg(root).arg(i / 500, 3, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        QFile file(QStringLiteral("%1/%2.MTS").arg(folder).arg(i, 5, 10, QLatin1Char('0')));
        const QByteArray content = "clip " + QByteArray::number(i) + QByteArray(1000, char('a' + i % 26));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
            || !file.setFileTime(anHourAgo, QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

struct Outcome
{
    SyncSummary summary;
    double worstGapMs = -1;
    double cancelAnsweredMs = -1;
};

// One sync in the window; the server stalls once half the clips are
// recorded. With cancel, Cancel is clicked 300 ms into the stall (when the
// next batch waits for the server).
Outcome syncInTheWindow(qint64 serverPid, bool cancel)
{
    Outcome outcome;
    BenchSeed::StallMeter meter;
    PopulateDB window;
    auto *engine = window.findChild<SyncEngine *>();
    auto *button = window.findChild<QPushButton *>(QStringLiteral("cancelButton"));
    bool stalled = false;
    QElapsedTimer sinceStall;
    QObject::connect(engine, &SyncEngine::clipFinished, &window, [&]() {
        if (stalled || engine->progress().clipsDone < clipCount / 2)
            return;
        stalled = true;
        stallServer(serverPid);
        sinceStall.start();
        if (cancel)
            QTimer::singleShot(300, button, [button]() {
                if (button->text() == QLatin1String("Cancel"))
                    button->click();
            });
    });
    QObject::connect(engine, &SyncEngine::finished, &window, [&]() {
        // Counted from when the click was due, also when a blocked loop
        // ran it late (or the sync ended first): that is what the user
        // waits for.
        if (cancel && sinceStall.isValid())
            outcome.cancelAnsweredMs = sinceStall.nsecsElapsed() / 1e6 - 300;
        outcome.worstGapMs = meter.worstMs();
        QTimer::singleShot(0, button, &QPushButton::click); // closes the summary
    });
    meter.reset();
    outcome.summary = window.run();
    ::kill(pid_t(serverPid), SIGCONT);
    return outcome;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const qint64 serverPid = qEnvironmentVariableIntValue("TAVELO_TEST_DB_PID");
    if (!TestDb::configured() || serverPid <= 0) {
        std::fprintf(stderr, "bench_syncstall: no database (or no TAVELO_TEST_DB_PID); run it through scripts/bench\n");
        return 1;
    }
    // As the login opens it: with the client's statement limits.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"));
    applyServerAddress(db, TestDb::serverText());
    db.setDatabaseName(TestDb::name());
    db.setUserName(TestDb::user());
    db.setPassword(TestDb::password());
    if (!db.open()) {
        std::fprintf(stderr, "bench_syncstall: %s\n", qPrintable(db.lastError().text()));
        return 1;
    }
    QSqlQuery setup(db);
    for (const char *statement : {"DELETE FROM shots", "DELETE FROM shot_media", "DELETE FROM shot_posters"})
        setup.exec(QLatin1String(statement));
    setup.exec(QStringLiteral("INSERT INTO projects (name) VALUES ('bench stall')"));
    const int project = setup.lastInsertId().toInt();

    const QString base = qEnvironmentVariable("TAVELO_BENCH_DIR", QDir::tempPath());
    const QString root = base + QStringLiteral("/bench_syncstall");
    QDir(root).removeRecursively();
    if (!project || !writeClips(root)) {
        std::fprintf(stderr, "bench_syncstall: could not set up the project or the clips\n");
        return 1;
    }
    // The first sync inserts them (and reads what media there is); the
    // measured ones find every clip unchanged.
    SyncEngine first(root, project);
    if (first.run().inserted != clipCount) {
        std::fprintf(stderr, "bench_syncstall: the first sync did not insert the clips\n");
        return 1;
    }
    const QString startDir = QDir::currentPath();
    QDir::setCurrent(root);
    ClientState::instance()->projectId = project;

    std::printf("bench_syncstall: the chooser's sync of %d unchanged clips of 1 KiB, the server stopped for %d s "
                "when half are recorded\n",
                clipCount, stallSeconds);
    int status = 0;
    const Outcome whole = syncInTheWindow(serverPid, false);
    if (whole.summary.status != SyncSummary::Status::Completed || whole.summary.matched != clipCount) {
        std::printf("  the sync did not complete: %s\n", qPrintable(whole.summary.text().left(300)));
        status = 1;
    }
    BenchSeed::report("longest GUI stall of the sync window", whole.worstGapMs, "ms", 100);
    QThread::sleep(stallSeconds); // the first stall's resume has come

    const Outcome cancelled = syncInTheWindow(serverPid, true);
    if (cancelled.summary.status != SyncSummary::Status::Cancelled)
        std::printf("  (the second sync ended as: %s)\n", qPrintable(cancelled.summary.text().section('\n', 0, 1)));
    BenchSeed::report("server stopped: Cancel answered after", cancelled.cancelAnsweredMs, "ms", 1000);
    BenchSeed::report("server stopped: longest GUI stall until then", cancelled.worstGapMs, "ms", 100);
    QThread::sleep(stallSeconds);
    ::kill(pid_t(serverPid), SIGCONT);

    QDir::setCurrent(startDir);
    QDir(root).removeRecursively();
    if (whole.worstGapMs < 0 || whole.worstGapMs >= 100 || cancelled.cancelAnsweredMs < 0
        || cancelled.cancelAnsweredMs >= 1000)
        status = 1;
    std::fflush(stdout);
    // A database thread may still be winding down after the cut.
    std::_Exit(status);
}
