// Hashing speed of the sync against md5sum, sha1sum and rhash on the same
// files in one run, the peak memory of tavelo-sync on a 2 GiB clip, the
// longest stall of the client's event loop during a 1 GiB sync, the
// per-clip database cost on 20,000 small clips, and the quick re-sync of
// 2,000 unchanged clips at two clip sizes. Files are
// generated in $TAVELO_BENCH_DIR and deleted afterwards. The database parts
// need the TAVELO_TEST_DB_* server that scripts/bench starts.

#include "app/clientstate.h"
#include "besttime.h"
#include "projects/cliphasher.h"
#include "projects/populatedb.h"
#include "projects/syncengine.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QLocale>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <functional>

namespace {

constexpr qint64 mib = 1024 * 1024;
constexpr int clipCount = 4;
constexpr qint64 clipSize = 256 * mib;
constexpr int rounds = 5;

QString env(const char *name) { return qEnvironmentVariable(name); }

bool haveDatabase() { return !env("TAVELO_TEST_DB_PORT").isEmpty(); }

bool openDatabase()
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QMYSQL");
    db.setHostName(env("TAVELO_TEST_DB_HOST"));
    db.setPort(env("TAVELO_TEST_DB_PORT").toInt());
    db.setDatabaseName(env("TAVELO_TEST_DB_NAME"));
    db.setUserName(env("TAVELO_TEST_DB_USER"));
    db.setPassword(env("TAVELO_TEST_DB_PASSWORD"));
    if (!db.open()) {
        std::printf("database: %s\n", qPrintable(db.lastError().text()));
        return false;
    }
    return true;
}

int benchProject()
{
    QSqlQuery query;
    query.exec("INSERT INTO projects (name) VALUES ('bench')");
    return query.lastInsertId().toInt();
}

// The shots, and what the syncs read of their media (where the database
// has the tables), so every first sync reads every clip.
void clearShots()
{
    QSqlQuery query;
    query.exec("DELETE FROM shots");
    query.exec("DELETE FROM shot_media");
    query.exec("DELETE FROM shot_posters");
}

bool writeRandomFile(const QString &path, qint64 size, quint64 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 * mib, Qt::Uninitialized);
    quint64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (qint64 written = 0; written < size; written += block.size()) {
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (qint64 i = 0; i < block.size() / 8; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            words[i] = x;
        }
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

// Seconds one run takes; -1 when it failed.
double timed(const std::function<bool()> &run)
{
    QElapsedTimer clock;
    clock.start();
    return run() ? clock.nsecsElapsed() / 1e9 : -1;
}

bool runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Runs a program and returns its peak resident memory in bytes, or -1.
qint64 peakMemory(const QString &program, const QStringList &arguments)
{
#ifndef Q_OS_UNIX
    Q_UNUSED(program);
    Q_UNUSED(arguments);
    return -1;
#else
    QList<QByteArray> storage;
    storage << QFile::encodeName(program);
    for (const QString &argument : arguments)
        storage << argument.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int devNull = ::open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        dup2(devNull, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return qint64(usage.ru_maxrss) * 1024;
#endif
}

// Writes count clips below root/raw, each with distinct first bytes; sparse
// beyond them when size is larger, so large clips cost no disk. Their
// modification time is set an hour back: the quick re-sync trusts only
// clips that had settled when they were hashed.
bool writeClips(const QString &root, int count, qint64 size)
{
    const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
    for (int i = 0; i < count; ++i) {
        const QString folder = QStringLiteral("%1/raw/Card%2").arg(root).arg(i / 500, 3, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        QFile file(QStringLiteral("%1/%2.MTS").arg(folder).arg(i, 5, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QByteArray head = QByteArray::number(i).rightJustified(16, '#');
        head += QByteArray(int(qMin<qint64>(size, 512)) - head.size(), char('a' + i % 26));
        if (file.write(head) != head.size() || !file.resize(size)
            || !file.setFileTime(anHourAgo, QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

// Seconds one sync takes, or -1 when its outcome is not the expected one.
double timedSync(const QString &root, int project, bool changedOnly,
                 const std::function<bool(const SyncSummary &)> &expected)
{
    SyncEngine sync(root, project);
    sync.setChangedOnly(changedOnly);
    QElapsedTimer clock;
    clock.start();
    const SyncSummary summary = sync.run();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!expected(summary)) {
        std::printf("  unexpected result: %s\n", qPrintable(summary.text().left(300)));
        return -1;
    }
    return seconds;
}

void within(const char *what, double seconds, double target)
{
    if (seconds < 0) {
        std::printf("  %-46s   failed  (target < %.1f s: NOT met)\n", what, target);
        return;
    }
    std::printf("  %-46s %8.2f s  (target < %.1f s: %s)\n", what, seconds, target,
                seconds < target ? "met" : "NOT met");
}

void verdict(const char *what, double value, double target, const char *unit)
{
    std::printf("  %-46s %8.2f%s  (target >= %.2f%s: %s)\n", what, value, unit, target, unit,
                value >= target ? "met" : "NOT met");
}

// The per-clip database cost and the quick re-sync; returns 1 when a
// target is missed or a run failed.
int benchPerClip(const QString &base, int project)
{
    int status = 0;
    // Per-clip database cost: 20,000 small clips, once new, once all
    // matching (both full syncs, every clip read).
    const QString many = base + "/bench_sync_many";
    QDir(many).removeRecursively();
    constexpr int manyClips = 20000;
    if (!writeClips(many, manyClips, 1024)) {
        std::printf("could not write the small clips\n");
        status = 1;
    } else {
        QStringList files;
        for (QDirIterator it(many + "/raw", {"*.MTS"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            files << it.next();
        // Like the throughput figures: the best of a few rounds, since the
        // machine's other work falls on single runs unevenly.
        double first = 0, again = 0, md5 = 0;
        for (int round = 0; round < 3; ++round) {
            clearShots();
            keepBest(first, timedSync(many, project, false, [&](const SyncSummary &s) {
                return s.exitCode() == 0 && s.inserted == manyClips;
            }));
            keepBest(again, timedSync(many, project, false, [&](const SyncSummary &s) {
                return s.exitCode() == 0 && s.matched == manyClips;
            }));
            keepBest(md5, timed([&]() { return runTool("md5sum", files); }));
        }
        std::printf("20,000 clips of 1 KiB, best of 3 rounds (md5sum over the same files: %.2f s):\n", md5);
        within("first sync (all inserted)", first, 5.0);
        within("second sync (all matching)", again, 2.0);
        if (first < 0 || again < 0 || first >= 5.0 || again >= 2.0)
            status = 1;
    }
    QDir(many).removeRecursively();

    // Quick re-sync of 2,000 unchanged clips, at two clip sizes: its
    // time must not grow with them. The full sync before it builds the
    // remembered digests (and reads the sparse clips in full).
    constexpr int quickClips = 2000;
    std::printf("Quick re-sync of %d unchanged clips (--changed-only), best of 3:\n", quickClips);
    double quick[2] = {0, 0};
    const qint64 sizes[2] = {64 * 1024, 4 * mib};
    for (int k = 0; k < 2; ++k) {
        const QString quickRoot = base + "/bench_sync_quick";
        QDir(quickRoot).removeRecursively();
        clearShots();
        if (!writeClips(quickRoot, quickClips, sizes[k])) {
            std::printf("could not write the clips\n");
            status = 1;
            break;
        }
        const double full = timedSync(quickRoot, project, false, [&](const SyncSummary &s) {
            return s.exitCode() == 0 && s.inserted == quickClips;
        });
        for (int round = 0; round < 3; ++round)
            keepBest(quick[k], timedSync(quickRoot, project, true, [&](const SyncSummary &s) {
                return s.exitCode() == 0 && s.matched == quickClips && s.remembered == quickClips;
            }));
        const QString what = QStringLiteral("clips of %1 (%2 in all; full sync %3 s)")
                                 .arg(QLocale::c().formattedDataSize(sizes[k], 0, QLocale::DataSizeIecFormat))
                                 .arg(QLocale::c().formattedDataSize(sizes[k] * quickClips, 1,
                                                                     QLocale::DataSizeIecFormat))
                                 .arg(full, 0, 'f', 1);
        within(qPrintable(what), quick[k], 3.0);
        if (quick[k] < 0 || quick[k] >= 3.0)
            status = 1;
        QDir(quickRoot).removeRecursively();
    }
    if (quick[0] > 0 && quick[1] > 0)
        std::printf("  %-46s %8.2f x  (target: no growth with the size, < 1.5 x: %s)\n",
                    "quick time, large clips / small clips", quick[1] / quick[0],
                    quick[1] / quick[0] < 1.5 ? "met" : "NOT met");
    clearShots();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules("*.debug=false");

    const QString base = env("TAVELO_BENCH_DIR").isEmpty() ? QDir::tempPath() : env("TAVELO_BENCH_DIR");
    const QString root = base + "/bench_sync_root";
    QDir(root).removeRecursively();
    QDir().mkpath(root + "/raw/CardA");

    QStringList clips;
    for (int i = 0; i < clipCount; ++i) {
        clips << QStringLiteral("%1/raw/CardA/%2.MTS").arg(root).arg(i + 1, 5, 10, QLatin1Char('0'));
        if (!writeRandomFile(clips.last(), clipSize, quint64(i + 1))) {
            std::printf("could not write %s\n", qPrintable(clips.last()));
            return 1;
        }
    }
    const double totalMiB = double(clipCount * clipSize) / mib;
    std::printf("bench_sync: %d clips of %lld MiB in %s, best of %d runs each, files in the page cache\n",
                clipCount, clipSize / mib, qPrintable(base), rounds);
    runTool("cat", clips); // into the page cache
    // The engine needs both cores; other work on the machine skews the ratios.
    QFile loadAverage("/proc/loadavg");
    if (loadAverage.open(QIODevice::ReadOnly))
        std::printf("load average before the runs: %s", loadAverage.readLine().constData());

    int status = 0;
    const bool database = haveDatabase() && openDatabase();
    const int project = database ? benchProject() : 0;
    // "bench_sync per-clip" measures only the per-clip cost and the quick
    // re-sync.
    if (database && app.arguments().contains("per-clip")) {
        QDir(root).removeRecursively();
        return benchPerClip(base, project);
    }

    // The engine: the whole sync when there is a database, else its hashing.
    auto runEngine = [&]() {
        if (database) {
            clearShots();
            SyncEngine sync(root, project);
            const SyncSummary summary = sync.run();
            return summary.exitCode() == 0 && summary.inserted == clipCount;
        }
        ClipHasher hasher;
        for (const QString &clip : clips) {
            if (hasher.hashFile(clip).status != ClipHasher::Status::Ok)
                return false;
        }
        return true;
    };
    const bool haveRhash = !QStandardPaths::findExecutable("rhash").isEmpty();
    // Rounds interleave the contenders, so load from elsewhere on the
    // machine falls on all of them alike; each keeps its best round.
    double engine = 0, md5sum = 0, both = 0, rhash = 0;
    for (int round = 0; round < rounds; ++round) {
        keepBest(engine, timed(runEngine));
        keepBest(md5sum, timed([&]() { return runTool("md5sum", clips); }));
        keepBest(both, timed([&]() { return runTool("md5sum", clips) && runTool("sha1sum", clips); }));
        if (haveRhash)
            keepBest(rhash, timed([&]() { return runTool("rhash", QStringList{"--md5", "--sha1"} + clips); }));
    }

    auto rate = [&](double seconds) { return seconds > 0 ? totalMiB / seconds : 0; };
    std::printf("Throughput (MiB/s):\n");
    std::printf("  %-36s %8.0f\n", database ? "tavelo sync (MD5 + SHA-1 + database)" : "tavelo hashing (MD5 + SHA-1)",
                rate(engine));
    std::printf("  %-36s %8.0f\n", "md5sum", rate(md5sum));
    std::printf("  %-36s %8.0f\n", "md5sum then sha1sum", rate(both));
    if (rhash > 0)
        std::printf("  %-36s %8.0f\n", "rhash --md5 --sha1", rate(rhash));
    else
        std::printf("  rhash --md5 --sha1: not available (install the rhash package)\n");
    if (engine <= 0 || md5sum <= 0 || both <= 0) {
        std::printf("a run failed\n");
        status = 1;
    } else {
        std::printf("Ratios:\n");
        verdict("tavelo / md5sum", md5sum / engine, 1.0, "x");
        if (rhash > 0)
            verdict("tavelo / rhash --md5 --sha1", rhash / engine, 1.25, "x");
        verdict("tavelo / (md5sum then sha1sum)", both / engine, 2.0, "x");
    }

    if (!database) {
        std::printf("No test database: memory and event-loop figures need scripts/bench.\n");
    } else {
        // Event loop during a client sync of the same 1 GiB.
        clearShots();
        QDir::setCurrent(root);
        ClientState::instance()->projectId = project;
        qint64 longestGap = 0;
        {
            PopulateDB window;
            auto *engineObject = window.findChild<SyncEngine *>();
            QElapsedTimer sinceLastTurn;
            QTimer turns;
            turns.setInterval(0);
            QObject::connect(&turns, &QTimer::timeout, &window, [&]() {
                if (sinceLastTurn.isValid())
                    longestGap = qMax(longestGap, sinceLastTurn.elapsed());
                sinceLastTurn.start();
            });
            QObject::connect(engineObject, &SyncEngine::finished, &window, [&]() {
                turns.stop();
                QTimer::singleShot(0, window.findChild<QPushButton *>("cancelButton"), &QPushButton::click);
            });
            turns.start();
            const SyncSummary summary = window.run();
            if (summary.inserted != clipCount)
                status = 1;
        }
        std::printf("Client sync of %.0f MiB:\n", totalMiB);
        std::printf("  %-46s %8lld ms  (target < 100 ms: %s)\n", "longest gap between event-loop turns",
                    longestGap, longestGap < 100 ? "met" : "NOT met");
        QDir::setCurrent(base);

        // Peak memory of the companion on one 2 GiB clip (sparse: its
        // memory use does not depend on what the bytes are).
        for (const QString &clip : clips)
            QFile::remove(clip);
        QFile big(root + "/raw/CardA/big.MTS");
        big.open(QIODevice::WriteOnly);
        big.resize(2048 * mib);
        big.close();
        clearShots();
        qputenv("TAVELO_DB_PASSWORD", env("TAVELO_TEST_DB_PASSWORD").toLocal8Bit());
        const qint64 peak = peakMemory(TAVELO_SYNC_PATH,
                                       {"--root", root, "--project", QString::number(project), "--server",
                                        env("TAVELO_TEST_DB_HOST") + ":" + env("TAVELO_TEST_DB_PORT"),
                                        "--database", env("TAVELO_TEST_DB_NAME"), "--user", env("TAVELO_TEST_DB_USER")});
        if (peak < 0) {
            std::printf("tavelo-sync on a 2 GiB clip failed\n");
            status = 1;
        } else {
            std::printf("tavelo-sync on a 2 GiB clip:\n");
            std::printf("  %-46s %8.1f MB  (target < 100 MB: %s)\n", "peak resident memory", peak / 1e6,
                        peak < 100 * 1000 * 1000 ? "met" : "NOT met");
        }
        clearShots();
    }

    if (database)
        status |= benchPerClip(base, project);

    QDir(root).removeRecursively();
    return status;
}
