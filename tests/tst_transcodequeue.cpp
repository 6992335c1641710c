// The transcode queue without a window, against the fake encoder
// (tests/fakeencoder.cpp): job after job, each written under a temporary
// name and renamed only when the encoder succeeded.

#include "projects/synclock.h"
#include "transcode/encoderlocator.h"
#include "transcode/outputnamemap.h"
#include "transcode/partialfile.h"
#include "transcode/transcodejob.h"
#include "transcode/transcodequeue.h"
#include "transcode/transcodescan.h"

#include <QDirIterator>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(start.path() + "/ffmpeg/bin"));
        QVERIFY(QFile::link(TAVELO_FAKE_ENCODER_PATH, start.path() + "/ffmpeg/bin/" + encoderFileName()));
        encoderLog = start.path() + "/runs.log";
        qputenv("TAVELO_FAKE_ENCODER_LOG", encoderLog.toUtf8());
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
        QCOMPARE(drained.size(), 1);
        held.release();
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 2, 10000);
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
        QTRY_COMPARE_WITH_TIMEOUT(drained.size(), 3, 10000);
        QVERIFY2(TranscodeQueue::stateText(queue.entry(0))
                     .startsWith("failed: the name map of " + QDir::toNativeSeparators(tree) + " stayed locked by "),
                 qPrintable(TranscodeQueue::stateText(queue.entry(0))));
        QVERIFY(!QFileInfo::exists(refused.output));
        QVERIFY(!QFileInfo::exists(refused.partial));
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
        TranscodeScan::Input first;
        first.clips = {"raw/Day1/CardB/00001.MTS"};
        first.presets = {Preset::Dv};
        first.outputRoot = outputRoot;
        first.host = "ws1";
        first.pid = 11;
        TranscodeScan::Input second = first;
        second.clips = {"raw/Day1/CardA/00001.MTS", "raw/Day1/CardB/00001.MTS"};
        second.host = "ws2";
        second.pid = 22;

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
        // the first's output alone.
        QVERIFY(secondQueue.entry(1).state != TranscodeQueue::Waiting && secondQueue.entry(1).state != TranscodeQueue::Running);
        QStringList left;
        QDirIterator it(tree, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            left << QFileInfo(it.next()).fileName();
        left.sort();
        QCOMPARE(left, (QStringList{".tavelo-sources", "00001.dv", "00001_CardA.dv"}));

        // A later run of either skips both, each as its own clip's.
        const TranscodeScan::Result again = TranscodeScan::run(second);
        QCOMPARE(again.entries.size(), 2);
        QCOMPARE(again.entries.at(0).state, TranscodeQueue::Skipped);
        QCOMPARE(again.entries.at(1).state, TranscodeQueue::Skipped);
    }

    // Whatever the map or a job says, nothing is written outside the tree.
    void aJobOutsideItsTreeIsNeverRun()
    {
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
    }
};

QTEST_GUILESS_MAIN(TestTranscodeQueue)
#include "tst_transcodequeue.moc"
