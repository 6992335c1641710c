// The transcode queue's figures: an offline scan of a tree of 10,000 files
// (5,000 clips) with every preset ticked, how long it takes to queue its
// jobs, the longest time the window's event loop went without a turn during
// it, and the gap between one job's end and the next job's start, with a
// stand-in encoder that exits at once. Data goes below TAVELO_BENCH_DIR (or
// a temporary folder) and is removed afterwards.

#include "app/clientstate.h"
#include "transcode/transcodedialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int shoots = 50;
constexpr int clipsPerShoot = 100;   // 5,000 clips, each with a sidecar file
constexpr int measuredJobs = 200;

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The window's trace lines would drown the figures.
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool makeTree(const QString &root)
{
    for (int shoot = 0; shoot < shoots; ++shoot) {
        for (int clip = 0; clip < clipsPerShoot; ++clip) {
            const QString dir = QStringLiteral("%1/raw/Shoot%2/Card%3").arg(root).arg(shoot, 2, 10, QLatin1Char('0'))
                                    .arg(clip / 25);
            if (clip % 25 == 0 && !QDir().mkpath(dir))
                return false;
            const QString name = QStringLiteral("%1/%2").arg(dir).arg(shoot * clipsPerShoot + clip, 5, 10, QLatin1Char('0'));
            QFile clipFile(name + QStringLiteral(".MTS"));
            QFile sidecar(name + QStringLiteral(".CPI"));
            if (!clipFile.open(QIODevice::WriteOnly) || !sidecar.open(QIODevice::WriteOnly))
                return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("TAVELO_BENCH_VERBOSE"))
        qInstallMessageHandler(quietDebug);
    QApplication app(argc, argv);

    const QString base = qEnvironmentVariable("TAVELO_BENCH_DIR", QDir::tempPath());
    QTemporaryDir work(base + QStringLiteral("/bench_transcode.XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot make a folder below %s\n", qPrintable(base));
        return 1;
    }
    const QString root = work.path() + QStringLiteral("/root");
    const QString start = work.path() + QStringLiteral("/start");
    if (!makeTree(root) || !QDir().mkpath(start + QStringLiteral("/ffmpeg/bin"))) {
        std::fprintf(stderr, "cannot build the tree below %s\n", qPrintable(work.path()));
        return 1;
    }
    // An encoder that ends at once, so the gap between jobs is the queue's.
    const QString encoder = start + QStringLiteral("/ffmpeg/bin/ffmpeg");
    QFile script(encoder);
    if (!script.open(QIODevice::WriteOnly))
        return 1;
    script.write("#!/bin/sh\nexit 0\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    ClientState::instance()->startDir = new QDir(start);
    QDir::setCurrent(root);
    auto *window = new TranscodeDialog; // ends the process when it goes
    for (QCheckBox *box : window->findChildren<QCheckBox *>())
        box->setChecked(true);
    auto *process = window->findChild<QProcess *>();

    // A zero timer runs once per event-loop turn, also in the scan's own.
    QElapsedTimer clock;
    clock.start();
    bool scanning = false;
    qint64 lastTurn = 0;
    qint64 longestGap = 0;
    QTimer turns;
    turns.setInterval(0);
    QObject::connect(&turns, &QTimer::timeout, &app, [&]() {
        const qint64 now = clock.nsecsElapsed();
        if (scanning)
            longestGap = std::max(longestGap, now - lastTurn);
        lastTurn = now;
    });

    // Not the application's own loop: quitting that closes the window,
    // which ends the process.
    QEventLoop loop;
    qint64 endedAt = -1;
    QList<qint64> jobGaps;
    QObject::connect(process, &QProcess::finished, &app, [&]() { endedAt = clock.nsecsElapsed(); });
    QObject::connect(process, &QProcess::started, &app, [&]() {
        if (endedAt >= 0)
            jobGaps << clock.nsecsElapsed() - endedAt;
        endedAt = -1;
        if (jobGaps.size() >= measuredJobs)
            loop.quit();
    });

    qint64 scanNs = 0;
    QTimer::singleShot(0, &app, [&]() {
        turns.start();
        lastTurn = clock.nsecsElapsed();
        scanning = true;
        const qint64 begin = clock.nsecsElapsed();
        window->findChild<QPushButton *>(QStringLiteral("beginButton"))->click();
        scanNs = clock.nsecsElapsed() - begin;
        scanning = false;
        turns.stop();
    });
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();

    std::sort(jobGaps.begin(), jobGaps.end());
    const auto ms = [](qint64 ns) { return double(ns) / 1e6; };
    std::printf("scan of %d files (%d clips, 4 presets): %.0f ms to queue the jobs (target < 2000 ms)\n",
                shoots * clipsPerShoot * 2, shoots * clipsPerShoot, ms(scanNs));
    std::printf("longest event-loop gap during the scan: %.1f ms (target < 100 ms)\n", ms(longestGap));
    if (!jobGaps.isEmpty())
        std::printf("gap from a job's end to the next job's start over %lld jobs: median %.2f ms, longest %.2f ms "
                    "(target < 50 ms)\n",
                    qint64(jobGaps.size()), ms(jobGaps.at(jobGaps.size() / 2)), ms(jobGaps.last()));
    std::fflush(stdout);

    const bool met = scanNs < 2000000000LL && longestGap < 100000000LL && !jobGaps.isEmpty()
        && jobGaps.last() < 50000000LL;
    QDir::setCurrent(work.path());
    work.remove();
    if (!met) {
        std::fprintf(stderr, "bench_transcode: a target was missed\n");
        return 1;
    }
    // The window stops its encoder and ends the process with status 0.
    window->findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();
    return 0;
}
