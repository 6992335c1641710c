// What reading the clips' media costs, each figure printed beside its
// target:
//   - 20,000 small clips through tavelo-sync, the first time (all inserted)
//     and when all match, with media (the default) and with --no-media;
//   - the CPU time of reading one 1080i clip's facts and poster (a camera-
//     like stream: High profile, CABAC, 24 Mbit/s);
//   - a sync of 8 clips of about 100 MiB through tavelo-sync with media
//     against --no-media on the same clips, in the page cache.
// Files are generated in $TAVELO_BENCH_DIR and deleted afterwards; the
// TAVELO_TEST_DB_* server that scripts/bench starts holds the shots.

#include "besttime.h"
#include "cameraclip.h"
#include "media/mediareader.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

namespace {

constexpr int rounds = 3;

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

void clearShotsAndMedia()
{
    QSqlQuery query;
    query.exec("DELETE FROM shots");
    query.exec("DELETE FROM shot_media");
    query.exec("DELETE FROM shot_posters");
}

double threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Seconds one tavelo-sync run takes, or -1 when it did not end with status
// 0 or printed no summary line starting with expected.
double timedCompanion(const QString &root, int project, const QStringList &extra, const QString &expected)
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TAVELO_DB_PASSWORD", TestDb::password());
    tool.setProcessEnvironment(environment);
    tool.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    tool.start(TAVELO_SYNC_PATH, QStringList{"--root", root, "--project", QString::number(project), "--server",
                                             TestDb::serverText(), "--database", TestDb::name(), "--user",
                                             TestDb::user()}
                                 + extra);
    const QByteArray out = tool.waitForFinished(-1) ? tool.readAllStandardOutput() : QByteArray();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() > 1 || !out.contains(expected.toUtf8())) {
        const QByteArray tail = out.right(400);
        std::printf("  unexpected result (status %d): %s\n", tool.exitCode(), tail.constData());
        return -1;
    }
    return seconds;
}

bool within(const char *what, double value, double target, const char *unit)
{
    if (value < 0) {
        std::printf("  %-52s   failed  (target < %.2f %s: NOT met)\n", what, target, unit);
        return false;
    }
    std::printf("  %-52s %8.3f %s  (target < %.2f %s: %s)\n", what, value, unit, target, unit,
                value < target ? "met" : "NOT met");
    return value < target;
}

bool writeSmallClips(const QString &root, int count)
{
    const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
    for (int i = 0; i < count; ++i) {
        const QString folder = QStringLiteral("%1/raw/Card%2").arg(root).arg(i / 500, 3, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        QFile file(QStringLiteral("%1/%2.MTS").arg(folder).arg(i, 5, 10, QLatin1Char('0')));
        QByteArray content = QByteArray::number(i).rightJustified(16, '#');
        content += QByteArray(1024 - content.size(), char('a' + i % 26));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
            || !file.setFileTime(anHourAgo, QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

int benchSmallClips(const QString &base, int project)
{
    constexpr int count = 20000;
    const QString root = base + "/bench_media_many";
    QDir(root).removeRecursively();
    if (!writeSmallClips(root, count)) {
        std::printf("could not write the small clips\n");
        return 1;
    }
    double first = 0, again = 0, firstPlain = 0, againPlain = 0;
    const QString inserted = QStringLiteral("0 matched, %1 inserted").arg(count);
    const QString matched = QStringLiteral("%1 matched, 0 inserted").arg(count);
    for (int round = 0; round < rounds; ++round) {
        clearShotsAndMedia();
        keepBest(first, timedCompanion(root, project, {}, inserted));
        keepBest(again, timedCompanion(root, project, {}, matched));
        clearShotsAndMedia();
        keepBest(firstPlain, timedCompanion(root, project, {"--no-media"}, inserted));
        keepBest(againPlain, timedCompanion(root, project, {"--no-media"}, matched));
    }
    QDir(root).removeRecursively();
    clearShotsAndMedia();
    std::printf("20,000 clips of 1 KiB through tavelo-sync, best of %d (each is read for media once: not a video):\n",
                rounds);
    bool met = within("first sync (all inserted)", first, 3.0, "s");
    met &= within("second sync (all matching)", again, 1.5, "s");
    std::printf("  %-52s %8.3f s\n", "first sync with --no-media", firstPlain);
    std::printf("  %-52s %8.3f s\n", "second sync with --no-media", againPlain);
    return met ? 0 : 1;
}

int benchOneClip(const QString &base)
{
    CameraClip spec;
    spec.seconds = 4;
    spec.preset = "faster";
    spec.bitrateKbps = 24000;
    spec.zone = 0x2a;
    const QString path = base + "/bench_media_1080i.MTS";
    QString error;
    if (!spec.make(path, &error)) {
        std::printf("could not make the 1080i clip: %s\n", qPrintable(error));
        return 1;
    }
    MediaReader::read(path);   // libraries loaded, file in the page cache
    QList<double> times;
    MediaReading reading;
    for (int i = 0; i < 15; ++i) {
        const double before = threadCpuMs();
        reading = MediaReader::read(path);
        times << threadCpuMs() - before;
    }
    std::sort(times.begin(), times.end());
    QFile::remove(path);
    std::printf("Facts and poster of one 1080i clip (%s, %lld-byte poster), CPU time of 15 readings:\n",
                qPrintable(reading.facts.formatText()), qint64(reading.poster.size()));
    if (!reading.facts.problem.isEmpty() || reading.poster.isEmpty()) {
        std::printf("  the reading failed: %s\n", qPrintable(reading.facts.problem));
        return 1;
    }
    std::printf("  %-52s %8.1f ms\n", "fastest", times.first());
    return within("median", times.at(times.size() / 2), 60, "ms") ? 0 : 1;
}

int benchLargeClips(const QString &base, int project)
{
    const QString root = base + "/bench_media_large";
    QDir(root).removeRecursively();
    QDir().mkpath(root + "/raw/CardA");
    CameraClip spec;
    spec.seconds = 20;
    spec.quality = 0;   // lossless: about 100 MiB in a few seconds of encoding
    const QString first = root + "/raw/CardA/00000.MTS";
    QString error;
    if (!spec.make(first, &error)) {
        std::printf("could not make the large clip: %s\n", qPrintable(error));
        return 1;
    }
    // Seven more of distinct content: a null packet of their own at the end.
    QStringList clips{first};
    for (int i = 1; i < 8; ++i) {
        const QString copy = QStringLiteral("%1/raw/CardA/%2.MTS").arg(root).arg(i, 5, 10, QLatin1Char('0'));
        QFile::copy(first, copy);
        QFile file(copy);
        file.open(QIODevice::Append);
        QByteArray packet = QByteArray::fromHex("00000000471fff10");
        packet += QByteArray(184, char(0xff));
        packet[4 + 5] = char(i);
        file.write(packet);
        clips << copy;
    }
    qint64 total = 0;
    for (const QString &clip : clips)
        total += QFileInfo(clip).size();
    QProcess cat;
    cat.setStandardOutputFile(QProcess::nullDevice());
    cat.start("cat", clips);   // into the page cache
    cat.waitForFinished(-1);

    double withMedia = 0, without = 0;
    for (int round = 0; round < rounds; ++round) {
        clearShotsAndMedia();
        keepBest(withMedia, timedCompanion(root, project, {}, "Media read for 8 clips: 8 posters"));
        clearShotsAndMedia();
        keepBest(without, timedCompanion(root, project, {"--no-media"}, "8 inserted"));
    }
    QDir(root).removeRecursively();
    clearShotsAndMedia();
    std::printf("Sync of 8 clips, %.0f MiB in all, through tavelo-sync, best of %d:\n", total / 1048576.0, rounds);
    std::printf("  %-52s %8.3f s\n", "with --no-media", without);
    std::printf("  %-52s %8.3f s\n", "with media (facts and posters)", withMedia);
    if (withMedia <= 0 || without <= 0)
        return within("with media / --no-media", -1, 1.15, "x") ? 0 : 1;
    return within("with media / --no-media", withMedia / without, 1.15, "x") ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString base = env("TAVELO_BENCH_DIR").isEmpty() ? QDir::tempPath() : env("TAVELO_BENCH_DIR");
    QFile loadAverage("/proc/loadavg");
    if (loadAverage.open(QIODevice::ReadOnly))
        std::printf("bench_media: load average before the runs: %s", loadAverage.readLine().constData());
    int status = benchOneClip(base);
    QSqlDatabase db = TestDb::configured() ? TestDb::open() : QSqlDatabase();
    if (!db.isOpen()) {
        std::printf("No test database: the sync figures need scripts/bench.\n");
        return status;
    }
    const int project = TestDb::addProject(db, "bench_media", QVariant());
    status |= benchSmallClips(base, project);
    status |= benchLargeClips(base, project);
    return status;
}
