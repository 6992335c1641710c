// The encoder runner against a fake encoder (tests/fakeencoder.cpp): every
// way a job can end, folded into one outcome.

#include "transcode/encoderrunner.h"

#include <QElapsedTimer>

#include <algorithm>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestEncoderRunner : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

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

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QFile::exists(TAVELO_FAKE_ENCODER_PATH));
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

        const QString output = dir.filePath(QString(QTest::currentDataTag()).replace(' ', '_') + ".mov");
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
        const Run result = run("ok", dir.filePath("progress.mov"));
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
        const QString output = dir.filePath("never.mov");
        const Run result = run("ok", output, -1, 2000, dir.filePath("no-such-encoder"));
        QCOMPARE(int(result.outcome.status), int(EncoderOutcome::FailedToStart));
        QVERIFY(!result.outcome.errorText.isEmpty());
        QVERIFY(result.outcome.reason().startsWith("the encoder could not be started"));
        QVERIFY(!QFile::exists(output));
    }

    void anOutputThatWasThereIsNeverRemoved()
    {
        const QString output = dir.filePath("earlier.mov");
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
        const Run result = run("utf8", dir.filePath("utf8.mov"));
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
        runner.start(TAVELO_FAKE_ENCODER_PATH, {dir.filePath("first.mov")}, dir.filePath("first.mov"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).value<EncoderOutcome>().exitCode, 1);
        runner.start(TAVELO_FAKE_ENCODER_PATH, {dir.filePath("second.mov")}, dir.filePath("second.mov"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
        const EncoderOutcome second = finished.at(1).at(0).value<EncoderOutcome>();
        QVERIFY(second.succeeded());
        QVERIFY(second.lastLines.filter("Conversion failed").isEmpty());
        QCOMPARE(runner.percent(), 100);
    }
};

QTEST_GUILESS_MAIN(TestEncoderRunner)
#include "tst_encoderrunner.moc"
