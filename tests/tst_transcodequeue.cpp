// The transcode queue without a window, against the fake encoder
// (tests/fakeencoder.cpp): job after job, each written under a temporary
// name and renamed only when the encoder succeeded.

#include "transcode/encoderlocator.h"
#include "transcode/partialfile.h"
#include "transcode/transcodejob.h"
#include "transcode/transcodequeue.h"

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
};

QTEST_GUILESS_MAIN(TestTranscodeQueue)
#include "tst_transcodequeue.moc"
