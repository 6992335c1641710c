// The transcode queue and the encoder runner, without a window. Against a
// fake encoder (tests/fakeencoder.cpp): every way a job can end, folded
// into one outcome; job after job, each written under a temporary name and
// renamed only when the encoder succeeded, under the lock of its tree's name
// map and never into a name the map gives another clip; two workstations
// encoding into one tree. Against the real encoder: every preset on a tiny
// generated camera-like clip (H.264 4:2:0 with AC-3 in MPEG-TS, 320x180,
// 1 s), with ffprobe reading back what was written.

#include "files/synclock.h"
#include "transcode/encoderlocator.h"
#include "transcode/encoderrunner.h"
#include "transcode/outputnamemap.h"
#include "files/partialfile.h"
#include "transcode/transcodejob.h"
#include "transcode/transcodequeue.h"
#include "transcode/transcodescan.h"
#include "transcodetrees.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void createFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

const char clipPath[] = "raw/Wedding/CardA/CLIP7.MTS";
constexpr int jobTimeoutMs = 60000;
} // namespace

class TestTranscodeQueue : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir start;   // ffmpeg/bin/ffmpeg is the fake encoder
    QTemporaryDir root;
    QString encoderLog;

    TranscodeQueue::Entry entry(const QString &clip)
    {
        TranscodeQueue::Entry entry;
        entry.job = mp4Job(1280, 720, 6000, clip, root.path() + "/transcode");
        entry.job.setOutput(entry.job.output, PartialFile::pathFor(entry.job.output));
        return entry;
    }

    // The last argument of each encoder run so far.
    QStringList written() const
    {
        QStringList result;
        for (const QByteArray &line : readFile(encoderLog).split('\n')) {
            if (!line.isEmpty())
                result << QString::fromUtf8(line.split('\t').last());
        }
        return result;
    }

    QStringList states(const TranscodeQueue &queue) const
    {
        QStringList result;
        for (int row = 0; row < queue.size(); ++row)
            result << TranscodeQueue::stateText(queue.entry(row));
        return result;
    }

    // The runner's own runs.
    QTemporaryDir runnerDir;

    struct Run
    {
        EncoderOutcome outcome;
        QList<ProgressParser::Line> lines;
        QList<int> percents;
        qint64 ms = 0;
    };

    // Runs the fake encoder in the given mode; stopAfterMs >= 0 stops it
    // that long after it started.
    Run run(const QString &mode, const QString &output, int stopAfterMs = -1, int graceMs = 2000,
            const QString &program = QStringLiteral(TAVELO_FAKE_ENCODER_PATH))
    {
        qputenv("TAVELO_FAKE_ENCODER", mode.toUtf8());
        QProcess process;
        EncoderRunner runner(&process);
        Run result;
        connect(&runner, &EncoderRunner::outputReady, this, [&]() { result.lines += runner.takeLines(); });
        connect(&runner, &EncoderRunner::progressChanged, this, [&](int percent) { result.percents << percent; });
        QSignalSpy finished(&runner, &EncoderRunner::finished);
        QElapsedTimer clock;
        clock.start();
        runner.start(program, {"-i", "raw/Day1/CardA/00001.MTS", output}, output);
        if (stopAfterMs >= 0) {
            // Stop only once the encoder has written its partial file.
            QElapsedTimer wait;
            wait.start();
            while (!QFile::exists(output) && wait.elapsed() < 10000)
                QTest::qWait(10);
            QTest::qWait(stopAfterMs);
            runner.stop(graceMs);
        }
        if (finished.isEmpty())
            finished.wait(15000);
        result.ms = clock.elapsed();
        if (finished.size() != 1) {
            qWarning() << "finished() was emitted" << finished.size() << "times";
            runner.stop(0);
            return result;
        }
        result.outcome = finished.first().first().value<EncoderOutcome>();
        if (runner.isRunning())
            qWarning() << "the runner still runs";
        return result;
    }

    // The real encoder's runs, in a local root of their own.
    QTemporaryDir clipRoot;
    QTemporaryDir noStart;
    QString encoder;
    QString probe;

    TranscodeJob job(const QString &preset) const
    {
        const QString outputRoot = clipRoot.path() + "/transcode";
        if (preset == "mp4")
            return mp4Job(1280, 720, 6000, clipPath, outputRoot);
        if (preset == "dnx60")
            return dnxJob(1280, 720, 60, clipPath, outputRoot);
        if (preset == "dnx36")
            return dnxJob(1920, 1080, 36, clipPath, outputRoot);
        return dvJob(clipPath, outputRoot);
    }

    EncoderOutcome encode(const TranscodeJob &job, qint64 *ms, int *percent)
    {
        QProcess process;
        process.setWorkingDirectory(clipRoot.path());   // the paths are relative to the local root
        EncoderRunner runner(&process);
        QSignalSpy finished(&runner, &EncoderRunner::finished);
        QElapsedTimer clock;
        clock.start();
        runner.start(encoder, job.arguments, job.output);
        if (finished.isEmpty() && !finished.wait(jobTimeoutMs)) {
            runner.stop(1000);
            return EncoderOutcome{EncoderOutcome::Stopped, -1, "timed out", {}, false};
        }
        *ms = clock.elapsed();
        *percent = runner.percent();
        return finished.first().first().value<EncoderOutcome>();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(start.path() + "/ffmpeg/bin"));
        QVERIFY(QFile::link(TAVELO_FAKE_ENCODER_PATH, start.path() + "/ffmpeg/bin/" + encoderFileName()));
        encoderLog = start.path() + "/runs.log";
        qputenv("TAVELO_FAKE_ENCODER_LOG", encoderLog.toUtf8());
        QVERIFY(runnerDir.isValid());
        QVERIFY(QFile::exists(TAVELO_FAKE_ENCODER_PATH));
        const EncoderLocation location = findEncoder(QDir(noStart.path()));
        if (!location.found())
            QFAIL(qPrintable(location.describe()));
        encoder = location.program;
        probe = QStandardPaths::findExecutable("ffprobe");
        if (probe.isEmpty())
            QFAIL("ffprobe is not on PATH: install the Debian package ffmpeg.");

        QVERIFY(QDir(clipRoot.path()).mkpath("raw/Wedding/CardA"));
        QProcess make;
        make.setWorkingDirectory(clipRoot.path());
        make.setStandardInputFile(QProcess::nullDevice());
        make.start(encoder, {"-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                             "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25:duration=1",
                             "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
                             "-t", "1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                             "-c:a", "ac3", "-b:a", "128k", "-f", "mpegts", clipPath});
        QVERIFY(make.waitForFinished(jobTimeoutMs));
        QVERIFY2(make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0,
                 make.readAllStandardError().constData());
    }

    void init()
    {
        QDir(root.path() + "/transcode").removeRecursively();
        QFile::remove(encoderLog);
    }

    void everyWayAJobEnds()
    {
        qputenv("TAVELO_FAKE_ENCODER", "fail@/A/,crash@/B/,nooutput@/C/,ok");
        QProcess process;
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(start.path()));
        QSignalSpy started(&queue, &TranscodeQueue::jobStarted);
        QSignalSpy ended(&queue, &TranscodeQueue::jobEnded);
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        QStringList notes;
        connect(&queue, &TranscodeQueue::note, this, [&notes](const QString &text) { notes << text; });

        QList<TranscodeQueue::Entry> entries{entry("raw/A/x.MTS"), entry("raw/B/x.MTS"), entry("raw/C/x.MTS"),
                                             entry("raw/D/x.MTS")};
        entries[3].note = "named apart: somebody has x.mov";
        QCOMPARE(queue.add(entries), 0);
        QCOMPARE(queue.pending(), 4);
        queue.start();
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 1, 20000);
        QCOMPARE(started.size(), 4);
        QCOMPARE(ended.size(), 4);
        QCOMPARE(queue.started(), 4);
        QCOMPARE(queue.total(), 4);
        QVERIFY(!queue.isRunning());

        QCOMPARE(states(queue),
                 (QStringList{"failed: exit code 1, its partial output was removed",
                              "failed: the encoder crashed, its partial output was removed",
                              "failed: the encoder ended without writing " + queue.entry(2).job.output,
                              "done"}));
        // The encoder wrote the temporary names only; just the job that
        // succeeded has its final name, and no temporary file is left.
        QStringList partials;
        for (int row = 0; row < 4; ++row)
            partials << queue.entry(row).job.partial;
        QCOMPARE(written(), partials);
        for (int row = 0; row < 4; ++row) {
            QVERIFY2(!QFileInfo::exists(queue.entry(row).job.partial), qPrintable(queue.entry(row).job.partial));
            QCOMPARE(QFileInfo::exists(queue.entry(row).job.output), row == 3);
        }
        QCOMPARE(readFile(queue.entry(3).job.output), QByteArray("encoded"));
        QVERIFY(queue.entry(0).details.last().endsWith("Conversion failed!"));
        // The log heard where each job writes, what it becomes, and why a
        // clip has the name it has.
        QVERIFY(notes.contains("Encoding raw/D/x.MTS into " + QDir::toNativeSeparators(queue.entry(3).job.partial)
                               + "; it takes the name " + QDir::toNativeSeparators(queue.entry(3).job.output)
                               + " only when the encoder succeeds."));
        QVERIFY(notes.contains("raw/D/x.MTS: named apart: somebody has x.mov"));
        QVERIFY(notes.contains("The job failed: exit code 1, its partial output was removed."));
    }

    void stopLeavesNoFinalNameAndRunsNothingMore()
    {
        qputenv("TAVELO_FAKE_ENCODER", "hang");
        QProcess process;
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(start.path()));
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        queue.add({entry("raw/A/x.MTS"), entry("raw/A/y.MTS")});
        queue.start();
        const TranscodeJob first = queue.entry(0).job;
        // While it runs, only the temporary file exists.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(first.partial), 10000);
        QVERIFY(!QFileInfo::exists(first.output));
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)), "running: writing " + QFileInfo(first.partial).fileName());
        queue.stop(300);
        QVERIFY(!queue.isRunning());
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)), "failed: stopped, its partial output was removed");
        QCOMPARE(TranscodeQueue::stateText(queue.entry(1)), "waiting");
        QVERIFY(!QFileInfo::exists(first.partial));
        QVERIFY(!QFileInfo::exists(first.output));
        QTest::qWait(200);
        QCOMPARE(written().size(), 1);
        QCOMPARE(drained.size(), 0);
    }

    void anOutputThatAppearsIsNeverReplaced()
    {
        QProcess process;
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(start.path()));
        QSignalSpy drained(&queue, &TranscodeQueue::drained);

        // Before its job starts: taken as done and not run.
        qputenv("TAVELO_FAKE_ENCODER", "ok");
        queue.add({entry("raw/A/x.MTS")});
        createFile(queue.entry(0).job.output, "someone else's");
        queue.start();
        QCOMPARE(drained.size(), 1);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)), "done: the output already existed, not run");
        QCOMPARE(written().size(), 0);

        // While it runs: the finished copy is removed, the other kept.
        qputenv("TAVELO_FAKE_ENCODER", "slow");
        queue.clear();
        QCOMPARE(queue.size(), 0);
        queue.add({entry("raw/B/x.MTS")});
        queue.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(encoderLog), 10000);
        createFile(queue.entry(0).job.output, "someone else's");
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 2, 10000);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)),
                 "failed: " + QDir::toNativeSeparators(queue.entry(0).job.output)
                     + " appeared while the job ran; it was left alone and this encoding removed");
        QCOMPARE(readFile(queue.entry(0).job.output), QByteArray("someone else's"));
        QVERIFY(!QFileInfo::exists(queue.entry(0).job.partial));
    }

    void noEncoderAbandonsTheQueue()
    {
        QTemporaryDir empty;
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", empty.path().toLocal8Bit());
        QProcess process;
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(empty.path()));
        QSignalSpy problem(&queue, &TranscodeQueue::problem);
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        queue.add({entry("raw/A/x.MTS"), entry("raw/A/y.MTS")});
        queue.start();
        qputenv("PATH", savedPath);
        QCOMPARE(drained.size(), 1);
        QCOMPARE(problem.size(), 1);
        QVERIFY(problem.first().first().toString().contains("was not found"));
        QCOMPARE(queue.count(TranscodeQueue::Failed), 2);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(1)), "failed: not run, the encoder was not found");
    }

    // A finished encode takes its name under the map's lock, and never a
    // name the map gives to another clip (a workstation that recorded it
    // after this run planned); a job that cannot get the lock fails.
    void theRenameWaitsForTheMapsLockAndHonoursItsNames()
    {
        qputenv("TAVELO_FAKE_ENCODER", "source");
        QProcess process;
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(start.path()));
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        QSignalSpy progress(&queue, &TranscodeQueue::progressChanged);
        const QString tree = root.path() + "/transcode/720p/MP4";

        // Named by another workstation while the encoder ran.
        queue.add({entry("raw/Day1/CardA/00001.MTS")});
        queue.start();
        const TranscodeJob taken = queue.entry(0).job;
        OutputNameMap other(tree);
        QVERIFY(other.add("raw/Day1/00001.mov", "raw/Day1/CardB/00001.MTS"));
        QVERIFY(other.save());
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 1, 10000);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)),
                 "failed: the name map gives " + QDir::toNativeSeparators(taken.output)
                     + " to raw/Day1/CardB/00001.MTS; this encoding was removed");
        QVERIFY(!QFileInfo::exists(taken.output));
        QVERIFY(!QFileInfo::exists(taken.partial));

        // Made meanwhile by another workstation for the same clip, under the
        // name the map gives it: done, and the other's file kept.
        queue.clear();
        queue.add({entry("raw/Day1/CardA/00005.MTS")});
        OutputNameMap mine(tree);
        QVERIFY(mine.load());
        QVERIFY(mine.add("raw/Day1/00005.mov", "raw/Day1/CardA/00005.MTS"));
        QVERIFY(mine.save());
        queue.start();
        createFile(queue.entry(0).job.output, "encoded elsewhere");
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 2, 10000);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)),
                 "done: another run made it meanwhile; this encoding was removed");
        QCOMPARE(readFile(queue.entry(0).job.output), QByteArray("encoded elsewhere"));
        QVERIFY(!QFileInfo::exists(queue.entry(0).job.partial));

        // The lock is held while the encoder ends: the job waits, then takes
        // its name and records it.
        SyncLock held;
        QCOMPARE(held.takeFile(OutputNameMap::lockPath(tree)), SyncLock::Result::Taken);
        queue.clear();
        progress.clear();
        queue.add({entry("raw/Day1/CardA/00002.MTS")});
        queue.start();
        const TranscodeJob waiting = queue.entry(0).job;
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().first().toInt() == 100, 10000);
        QTest::qWait(400);
        QVERIFY(queue.isRunning());
        QVERIFY(QFileInfo::exists(waiting.partial));
        QVERIFY(!QFileInfo::exists(waiting.output));
        QCOMPARE(drained.size(), 2);
        held.release();
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 3, 10000);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)), "done");
        QCOMPARE(readFile(waiting.output), QByteArray("encoded raw/Day1/CardA/00002.MTS"));
        OutputNameMap map(tree);
        QVERIFY(map.load());
        QCOMPARE(map.clipOf("raw/Day1/00002.mov"), "raw/Day1/CardA/00002.MTS");

        // A lock that is never let go.
        QCOMPARE(held.takeFile(OutputNameMap::lockPath(tree)), SyncLock::Result::Taken);
        queue.setLockWait(300);
        queue.clear();
        queue.add({entry("raw/Day1/CardA/00003.MTS")});
        queue.start();
        const TranscodeJob refused = queue.entry(0).job;
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 4, 10000);
        QVERIFY2(TranscodeQueue::stateText(queue.entry(0))
                     .startsWith("failed: the name map of " + QDir::toNativeSeparators(tree) + " stayed locked by "),
                 qPrintable(TranscodeQueue::stateText(queue.entry(0))));
        QVERIFY(!QFileInfo::exists(refused.output));
        QVERIFY(!QFileInfo::exists(refused.partial));

        // Stopped while it waits: it ends at once, its file gone.
        queue.setLockWait(30000);
        queue.clear();
        progress.clear();
        queue.add({entry("raw/Day1/CardA/00004.MTS")});
        queue.start();
        const TranscodeJob stopped = queue.entry(0).job;
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().first().toInt() == 100, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 10000);
        QVERIFY(queue.isRunning());
        queue.stop(100);
        QVERIFY(!queue.isRunning());
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)),
                 "failed: stopped while waiting for the name map's lock, its output was removed");
        QVERIFY(!QFileInfo::exists(stopped.partial));
        QVERIFY(!QFileInfo::exists(stopped.output));
    }

    // Two workstations transcode one root into one shared tree at once.
    // The first walked before card A was copied and names card B's clip
    // 00001.dv; the second, planning while the first encodes, sees both
    // cards. Every output holds the clip its map line names.
    void twoWorkstationsEncodeIntoOneTree()
    {
        qputenv("TAVELO_FAKE_ENCODER", "source");
        const QString outputRoot = root.path() + "/transcode";
        const QString tree = outputRoot + "/720x480/DV25";
        const TwoWorkstations workstations = twoWorkstations(outputRoot);
        TranscodeScan::Input first = workstations.first;
        TranscodeScan::Input second = workstations.second;

        QProcess firstProcess;
        TranscodeQueue firstQueue(&firstProcess);
        firstQueue.setStartDir(QDir(start.path()));
        QSignalSpy firstDrained(&firstQueue, &TranscodeQueue::drained);
        const TranscodeScan::Result firstScan = TranscodeScan::run(first);
        QVERIFY(firstScan.ok);
        firstQueue.add(firstScan.entries);
        firstQueue.start();

        QProcess secondProcess;
        TranscodeQueue secondQueue(&secondProcess);
        secondQueue.setStartDir(QDir(start.path()));
        QSignalSpy secondDrained(&secondQueue, &TranscodeQueue::drained);
        const TranscodeScan::Result secondScan = TranscodeScan::run(second);
        QVERIFY(secondScan.ok);
        secondQueue.add(secondScan.entries);
        secondQueue.start();
        QTRY_COMPARE_WITH_TIMEOUT(firstDrained.size(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(secondDrained.size(), 1, 20000);

        QCOMPARE(readFile(tree + "/raw/Day1/00001.dv"), QByteArray("encoded raw/Day1/CardB/00001.MTS"));
        QCOMPARE(readFile(tree + "/raw/Day1/00001_CardA.dv"), QByteArray("encoded raw/Day1/CardA/00001.MTS"));
        OutputNameMap map(tree);
        QVERIFY(map.load());
        QCOMPARE(map.size(), 2);
        QCOMPARE(map.clipOf("raw/Day1/00001.dv"), "raw/Day1/CardB/00001.MTS");
        QCOMPARE(map.clipOf("raw/Day1/00001_CardA.dv"), "raw/Day1/CardA/00001.MTS");
        QCOMPARE(TranscodeQueue::stateText(firstQueue.entry(0)), "done");
        QCOMPARE(TranscodeQueue::stateText(secondQueue.entry(0)), "done");
        // Card B's clip was encoded by both; the one that came second left
        // the first's output alone and counts it as done.
        QCOMPARE(secondQueue.entry(1).state, TranscodeQueue::Done);
        QVERIFY2(QStringList({"done: the output already existed, not run",
                              "done: another run made it meanwhile; this encoding was removed"})
                     .contains(TranscodeQueue::stateText(secondQueue.entry(1))),
                 qPrintable(TranscodeQueue::stateText(secondQueue.entry(1))));
        QStringList left;
        QDirIterator it(tree, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            left << QFileInfo(it.next()).fileName();
        left.sort();
        QCOMPARE(left, (QStringList{".tavelo-sources", ".tavelo-sources.lock", "00001.dv", "00001_CardA.dv"}));

        // A later run of either skips both, each as its own clip's.
        const TranscodeScan::Result again = TranscodeScan::run(second);
        QCOMPARE(again.entries.size(), 2);
        QCOMPARE(again.entries.at(0).state, TranscodeQueue::Skipped);
        QCOMPARE(again.entries.at(1).state, TranscodeQueue::Skipped);
    }

    // Whatever the map or a job says, nothing is written outside the tree.
    void aJobOutsideItsTreeIsNeverRun()
    {
        qputenv("TAVELO_FAKE_ENCODER", "ok");
        QProcess process;
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(start.path()));
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        TranscodeQueue::Entry escaping = entry("raw/A/x.MTS");
        const QString outside = root.path() + "/escaped.mov";
        escaping.job.outputDir = root.path() + "/";
        escaping.job.setOutput(outside, PartialFile::pathFor(outside));
        queue.add({escaping, entry("raw/A/y.MTS")});
        queue.start();
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 1, 10000);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)),
                 "failed: not run, its output " + QDir::toNativeSeparators(outside) + " lies outside the output tree "
                     + QDir::toNativeSeparators(root.path() + "/transcode/720p/MP4"));
        QCOMPARE(TranscodeQueue::stateText(queue.entry(1)), "done");
        QCOMPARE(written().size(), 1);
        QVERIFY(!QFileInfo::exists(outside));

        // A folder of the tree that is a link to a folder elsewhere.
        QTemporaryDir elsewhere;
        const QString tree = root.path() + "/transcode/720p/MP4";
        QVERIFY(QDir().mkpath(tree + "/raw"));
        QVERIFY(QFile::link(elsewhere.path(), tree + "/raw/B"));
        queue.clear();
        queue.add({entry("raw/B/CardA/z.MTS")});
        queue.start();
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 2, 10000);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)),
                 "failed: not run, its output " + QDir::toNativeSeparators(queue.entry(0).job.output)
                     + " lies outside the output tree " + QDir::toNativeSeparators(tree));
        QCOMPARE(written().size(), 1);
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());

        // The same through the scan, with a name the map gives: no folder
        // is made through the link either.
        OutputNameMap map(tree);
        QVERIFY(map.add("raw/B/sub/z.mov", "raw/B/CardA/z.MTS"));
        QVERIFY(map.save());
        TranscodeScan::Input input;
        input.clips = {"raw/B/CardA/z.MTS"};
        input.presets = {Preset::Mp4};
        input.outputRoot = root.path() + "/transcode";
        const TranscodeScan::Result scanned = TranscodeScan::run(input);
        QVERIFY(scanned.ok);
        queue.clear();
        queue.add(scanned.entries);
        queue.start();
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 3, 10000);
        QVERIFY2(TranscodeQueue::stateText(queue.entry(0)).startsWith("failed: not run, its output "),
                 qPrintable(TranscodeQueue::stateText(queue.entry(0))));
        QCOMPARE(written().size(), 1);
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // Regression: in the DNX36 tree raw/Evil was a link to a folder outside
    // the local root, and the map gave raw/Evil/evil.mov to a clip of
    // raw/Day1: the check resolved the layout folder raw/Day1, not the
    // folder the map's name leads to, and the clip was encoded outside and
    // called done. Now the folder an output is written to is resolved
    // through every link, before the job runs and again before its rename.
    void aMapNameThroughALinkIsNeverWrittenTo()
    {
        qputenv("TAVELO_FAKE_ENCODER", "ok");
        QTemporaryDir elsewhere;
        const QString outputRoot = root.path() + "/transcode";
        const QString tree = outputRoot + "/1920x1080/DNX36";
        QVERIFY(QDir().mkpath(tree + "/raw/Day1"));
        QVERIFY(QFile::link(elsewhere.path(), tree + "/raw/Evil"));
        OutputNameMap map(tree);
        QVERIFY(map.add("raw/Evil/evil.mov", "raw/Day1/CardA/00002.MTS"));
        QVERIFY(map.save());

        TranscodeScan::Input input;
        input.clips = {"raw/Day1/CardA/00001.MTS", "raw/Day1/CardA/00002.MTS"};
        input.presets = {Preset::Dnx36};
        input.outputRoot = outputRoot;
        const TranscodeScan::Result scanned = TranscodeScan::run(input);
        QVERIFY(scanned.ok);
        QCOMPARE(scanned.entries.size(), 2);
        const TranscodeJob evil = scanned.entries.at(1).job;
        QCOMPARE(evil.output, tree + "/raw/Evil/evil.mov");
        QCOMPARE(evil.outputDir, tree + "/raw/Evil/");
        QVERIFY(!evil.staysInsideItsTree());
        QVERIFY(scanned.entries.at(0).job.staysInsideItsTree());

        QProcess process;
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(start.path()));
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        queue.add(scanned.entries);
        queue.start();
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 1, 10000);
        QCOMPARE(states(queue), (QStringList{"done", "failed: not run, its output "
                                                         + QDir::toNativeSeparators(evil.output)
                                                         + " lies outside the output tree "
                                                         + QDir::toNativeSeparators(tree)}));
        QCOMPARE(written().size(), 1);
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());

        // A folder that becomes such a link while the encoder runs: the
        // finished file is not renamed into it.
        qputenv("TAVELO_FAKE_ENCODER", "slow");
        queue.clear();
        TranscodeQueue::Entry late;
        late.job = dnxJob(1920, 1080, 36, "raw/Late/CardA/00003.MTS", outputRoot);
        late.job.setOutput(late.job.output, PartialFile::pathFor(late.job.output));
        queue.add({late});
        queue.start();
        // The slow encoder writes its file after about 1.5 s.
        QTRY_COMPARE_WITH_TIMEOUT(written().size(), 2, 10000);
        QVERIFY(QDir().rename(tree + "/raw/Late", tree + "/raw/Late-moved"));
        QVERIFY(QFile::link(elsewhere.path(), tree + "/raw/Late"));
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 2, 10000);
        QCOMPARE(TranscodeQueue::stateText(queue.entry(0)),
                 "failed: its output " + QDir::toNativeSeparators(late.job.output) + " now lies outside the output tree "
                     + QDir::toNativeSeparators(tree) + "; this encoding was removed");
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("stopAfterMs");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("outputKept");
        QTest::addColumn<QString>("lastLine");

        QTest::newRow("normal exit 0 is done")
            << "ok" << -1 << int(EncoderOutcome::Succeeded) << 0 << true
            << "video:256kB audio:16kB subtitle:0kB other streams:0kB global headers:0kB";
        QTest::newRow("exit code 1 fails and loses its partial output")
            << "fail" << -1 << int(EncoderOutcome::ExitedWithError) << 1 << false << "Conversion failed!";
        QTest::newRow("a crash fails and loses its partial output")
            << "crash" << -1 << int(EncoderOutcome::Crashed) << -1 << false << "Press [q] to stop, [?] for help";
        QTest::newRow("an overwrite question reads end-of-file instead of hanging")
            << "prompt" << -1 << int(EncoderOutcome::ExitedWithError) << 1 << false << "Not overwriting - exiting";
        QTest::newRow("a stopped job loses its partial output")
            << "hang" << 100 << int(EncoderOutcome::Stopped) << -1 << false << "";
        QTest::newRow("an encoder that ignores terminate is killed")
            << "stubborn" << 100 << int(EncoderOutcome::Stopped) << -1 << false << "";
    }

    void outcomes()
    {
        QFETCH(QString, mode);
        QFETCH(int, stopAfterMs);
        QFETCH(int, status);
        QFETCH(int, exitCode);
        QFETCH(bool, outputKept);
        QFETCH(QString, lastLine);

        const QString output = runnerDir.filePath(QString(QTest::currentDataTag()).replace(' ', '_') + ".mov");
        const Run result = run(mode, output, stopAfterMs, 300);
        QCOMPARE(int(result.outcome.status), status);
        QCOMPARE(result.outcome.succeeded(), status == EncoderOutcome::Succeeded);
        if (status != EncoderOutcome::Crashed && status != EncoderOutcome::Stopped)
            QCOMPARE(result.outcome.exitCode, exitCode);
        QCOMPARE(QFile::exists(output), outputKept);
        // The question comes before anything is written.
        QCOMPARE(result.outcome.outputRemoved, !outputKept && mode != "prompt");
        if (!lastLine.isEmpty())
            QVERIFY2(result.outcome.lastLines.value(result.outcome.lastLines.size() - 1).endsWith(lastLine),
                     qPrintable(result.outcome.lastLines.join('\n')));
        QVERIFY(result.outcome.lastLines.size() <= EncoderRunner::keptLines);
        QVERIFY2(result.ms < 10000, qPrintable(QString::number(result.ms)));
    }

    void progressFromCarriageReturnLines()
    {
        const Run result = run("ok", runnerDir.filePath("progress.mov"));
        QVERIFY(result.outcome.succeeded());
        // Writes that arrive together give one step; it only ever rises.
        QVERIFY(!result.percents.isEmpty());
        QCOMPARE(result.percents.last(), 100);
        QVERIFY(std::is_sorted(result.percents.begin(), result.percents.end()));
        int progressLines = 0;
        for (const ProgressParser::Line &line : result.lines)
            progressLines += line.progress ? 1 : 0;
        // The last report ends with a line feed: an ordinary line.
        QCOMPARE(progressLines, 3);
        QCOMPARE(result.lines.first().text, "ffmpeg version fake Copyright (c) the test suite");
        // The end of the output keeps one of a run of progress lines, the
        // latest, then the last report.
        const QStringList last = result.outcome.lastLines;
        QCOMPARE(last.filter("time=").size(), 2);
        QVERIFY(last.filter("time=").at(0).contains("time=00:00:01.50"));
        QVERIFY(last.filter("time=").at(1).contains("time=00:00:02.00"));
    }

    void missingEncoderFailsToStart()
    {
        const QString output = runnerDir.filePath("never.mov");
        const Run result = run("ok", output, -1, 2000, runnerDir.filePath("no-such-encoder"));
        QCOMPARE(int(result.outcome.status), int(EncoderOutcome::FailedToStart));
        QVERIFY(!result.outcome.errorText.isEmpty());
        QVERIFY(result.outcome.reason().startsWith("the encoder could not be started"));
        QVERIFY(!QFile::exists(output));
    }

    void anOutputThatWasThereIsNeverRemoved()
    {
        const QString output = runnerDir.filePath("earlier.mov");
        QFile file(output);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("from an earlier run");
        file.close();
        const Run result = run("crash", output);
        QCOMPARE(int(result.outcome.status), int(EncoderOutcome::Crashed));
        QVERIFY(!result.outcome.outputRemoved);
        QVERIFY(QFile::exists(output));
    }

    void outputIsDecodedAsUtf8PlainText()
    {
        const Run result = run("utf8", runnerDir.filePath("utf8.mov"));
        QVERIFY(result.outcome.succeeded());
        QStringList texts;
        for (const ProgressParser::Line &line : result.lines)
            texts << line.text;
        // The "é" arrived cut in two writes.
        QCOMPARE(texts, (QStringList{QString::fromUtf8("Input #0, mpegts, from 'raw/Caf\xc3\xa9/\xd0\xba\xd0\xbb\xd0\xb8\xd0\xbf.MTS':"),
                                     "<b>not bold</b> & <i>not italic</i>"}));
    }

    void runsAgainAfterAnEnd()
    {
        // One runner runs the whole queue, one job after the other.
        qputenv("TAVELO_FAKE_ENCODER", "fail@first,ok");
        QProcess process;
        EncoderRunner runner(&process);
        QSignalSpy finished(&runner, &EncoderRunner::finished);
        runner.start(TAVELO_FAKE_ENCODER_PATH, {runnerDir.filePath("first.mov")}, runnerDir.filePath("first.mov"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).value<EncoderOutcome>().exitCode, 1);
        runner.start(TAVELO_FAKE_ENCODER_PATH, {runnerDir.filePath("second.mov")}, runnerDir.filePath("second.mov"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
        const EncoderOutcome second = finished.at(1).at(0).value<EncoderOutcome>();
        QVERIFY(second.succeeded());
        QVERIFY(second.lastLines.filter("Conversion failed").isEmpty());
        QCOMPARE(runner.percent(), 100);
    }

    void presets_data()
    {
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("videoCodec");
        QTest::addColumn<QString>("audioCodec");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("container");
        QTest::addColumn<qint64>("videoRate");   // bits per second, 0: not checked

        QTest::newRow("720p MP4 6 Mb") << "mp4" << "mpeg4" << "mp3" << 1280 << 720 << "mov,mp4,m4a,3gp,3g2,mj2"
                                       << qint64(0);
        QTest::newRow("720p DNX-HD 60 Mb") << "dnx60" << "dnxhd" << "pcm_s16le" << 1280 << 720
                                           << "mov,mp4,m4a,3gp,3g2,mj2" << qint64(60000000);
        QTest::newRow("1080p DNX-HD 36 Mb") << "dnx36" << "dnxhd" << "pcm_s16le" << 1920 << 1080
                                            << "mov,mp4,m4a,3gp,3g2,mj2" << qint64(36000000);
        QTest::newRow("480p DV 25 Mb") << "dv" << "dvvideo" << "pcm_s16le" << 720 << 480 << "dv" << qint64(25000000);
    }

    void presets()
    {
        QFETCH(QString, preset);
        QFETCH(QString, videoCodec);
        QFETCH(QString, audioCodec);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QString, container);
        QFETCH(qint64, videoRate);

        TranscodeJob transcode = job(preset);
        // The format is forced, so the temporary name's ".partial" does not
        // decide it.
        transcode.setOutput(transcode.output, PartialFile::pathFor(transcode.output));
        QFile::remove(transcode.output);
        QProcess process;
        process.setWorkingDirectory(clipRoot.path());   // the paths are relative to the local root
        TranscodeQueue queue(&process);
        queue.setStartDir(QDir(noStart.path()));
        QSignalSpy drained(&queue, &TranscodeQueue::drained);
        TranscodeQueue::Entry entry;
        entry.job = transcode;
        QElapsedTimer clock;
        clock.start();
        queue.add({entry});
        queue.start();
        if (drained.isEmpty() && !drained.wait(jobTimeoutMs))
            queue.stop(1000);
        const TranscodeQueue::Entry &ended = queue.entry(0);
        QVERIFY2(ended.state == TranscodeQueue::Done,
                 qPrintable(TranscodeQueue::stateText(ended) + "\n" + ended.details.join('\n')));
        qInfo("%s encoded in %lld ms", qPrintable(preset), clock.elapsed());
        const int percent = queue.percent();
        QVERIFY2(percent >= 90, qPrintable(QString::number(percent)));
        QVERIFY(!QFileInfo::exists(transcode.partial));

        QProcess ffprobe;
        ffprobe.start(probe, {"-v", "error", "-show_entries",
                              "stream=codec_type,codec_name,width,height,bit_rate:format=format_name",
                              "-of", "json", transcode.output});
        QVERIFY(ffprobe.waitForFinished(30000));
        QCOMPARE(ffprobe.exitCode(), 0);
        const QJsonObject info = QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
        QCOMPARE(info["format"].toObject()["format_name"].toString(), container);
        QJsonObject video;
        QJsonObject audio;
        for (const QJsonValue &stream : info["streams"].toArray()) {
            if (stream["codec_type"].toString() == "video")
                video = stream.toObject();
            else if (stream["codec_type"].toString() == "audio")
                audio = stream.toObject();
        }
        QCOMPARE(video["codec_name"].toString(), videoCodec);
        QCOMPARE(video["width"].toInt(), width);
        QCOMPARE(video["height"].toInt(), height);
        QCOMPARE(audio["codec_name"].toString(), audioCodec);
        if (videoRate > 0) {
            // The rate the box promises, not 60 or 36 bits per second.
            const qint64 rate = video["bit_rate"].toString().toLongLong();
            QVERIFY2(rate > videoRate * 85 / 100 && rate < videoRate * 115 / 100, qPrintable(QString::number(rate)));
        }
    }

    void anExistingOutputIsNeitherOverwrittenNorWaitedFor()
    {
        // The encoder asks before it overwrites; with nothing to read the
        // answer from, it must give up instead of waiting forever.
        const TranscodeJob transcode = job("mp4");
        QVERIFY(QDir().mkpath(transcode.outputDir));
        QFile file(transcode.output);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("earlier");
        file.close();
        qint64 ms = 0;
        int percent = -1;
        const EncoderOutcome outcome = encode(transcode, &ms, &percent);
        QCOMPARE(int(outcome.status), int(EncoderOutcome::ExitedWithError));
        QVERIFY(!outcome.outputRemoved);
        QVERIFY2(ms < 20000, qPrintable(QString::number(ms)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("earlier"));
    }
};

QTEST_GUILESS_MAIN(TestTranscodeQueue)
#include "tst_transcodequeue.moc"
