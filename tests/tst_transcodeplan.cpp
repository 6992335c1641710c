// The transcode run's plain code, no encoder and no window: the presets'
// argument lists and output paths, the parser that follows the encoder's
// progress, the planner that turns clips, ticked presets, the filter and
// what the output trees hold into jobs and their names, the temporary
// names, the name map and the scan that prepares a run under the maps'
// locks. Trees are stated in the tables or made in temporary folders.

#include "files/synclock.h"
#include "transcode/outputnamemap.h"
#include "files/partialfile.h"
#include "transcode/progressparser.h"
#include "transcode/transcodejob.h"
#include "transcode/transcodeplanner.h"
#include "transcode/transcodescan.h"
#include "coretestsupport.h"
#include "transcodetrees.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtConcurrent>

#include <atomic>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using Line = ProgressParser::Line;
Q_DECLARE_METATYPE(QList<Line>)

namespace {
const QString root = QStringLiteral("/media/root/transcode");

QStringList split(const QString &text)
{
    return text.split(QLatin1Char(' '));
}

Preset presetOf(const QString &name)
{
    if (name == "mp4")
        return Preset::Mp4;
    if (name == "dnx60")
        return Preset::Dnx60;
    if (name == "dnx36")
        return Preset::Dnx36;
    return Preset::Dv;
}

// "raw/Day1/CardB/00001.MTS => 720p/MP4/raw/Day1/00001_CardB.mov", with
// " (done)" for an output that exists.
QStringList describe(const TranscodePlanner::Plan &plan)
{
    QStringList lines;
    for (const TranscodePlanner::PlannedJob &job : plan.jobs)
        lines << job.job.source + " => " + job.job.output.mid(root.size() + 1) + (job.done ? " (done)" : "");
    return lines;
}
} // namespace

class TestTranscodePlan : public QObject
{
    Q_OBJECT

private slots:
    void jobs_data()
    {
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("arguments");

        const QString clip = "raw/Wedding/CardA/CLIP7.MTS";
        // The rate texts name units the encoder reads ("60Mb" and "6000b"
        // made it refuse every job); every other position is unchanged.
        QTest::newRow("720p MP4 6 Mb: 6000k")
            << "mp4" << clip << root + "/720p/MP4/raw/Wedding/CLIP7.mov"
            << split("-i raw/Wedding/CardA/CLIP7.MTS -acodec libmp3lame -b 6000k -s 1280x720 -vcodec mpeg4 "
                     "-r 23.976 -f mov " + root + "/720p/MP4/raw/Wedding/CLIP7.mov");
        QTest::newRow("720p DNX-HD 60 Mb: 60M")
            << "dnx60" << clip << root + "/1280x720/DNX60/raw/Wedding/CLIP7.mov"
            << split("-i raw/Wedding/CardA/CLIP7.MTS -acodec pcm_s16le -b 60M -s 1280x720 -vcodec dnxhd "
                     "-r 23.976 -f mov " + root + "/1280x720/DNX60/raw/Wedding/CLIP7.mov");
        QTest::newRow("1080p DNX-HD 36 Mb: 36M")
            << "dnx36" << clip << root + "/1920x1080/DNX36/raw/Wedding/CLIP7.mov"
            << split("-i raw/Wedding/CardA/CLIP7.MTS -acodec pcm_s16le -b 36M -s 1920x1080 -vcodec dnxhd "
                     "-r 23.976 -f mov " + root + "/1920x1080/DNX36/raw/Wedding/CLIP7.mov");
        QTest::newRow("480p DV 25 Mb: its own arguments and tree")
            << "dv" << clip << root + "/720x480/DV25/raw/Wedding/CLIP7.dv"
            << split("-i raw/Wedding/CardA/CLIP7.MTS -target ntsc-dv -aspect 16:9 " + root
                     + "/720x480/DV25/raw/Wedding/CLIP7.dv");
        QTest::newRow("a clip directly in raw/ gets a folder of its name")
            << "mp4" << "raw/CLIP7.MTS" << root + "/720p/MP4/raw/CLIP7.MTS/CLIP7.mov"
            << split("-i raw/CLIP7.MTS -acodec libmp3lame -b 6000k -s 1280x720 -vcodec mpeg4 -r 23.976 -f mov "
                     + root + "/720p/MP4/raw/CLIP7.MTS/CLIP7.mov");
        QTest::newRow("DV, clip directly in raw/")
            << "dv" << "raw/CLIP7.MTS" << root + "/720x480/DV25/raw/CLIP7.MTS/CLIP7.dv"
            << split("-i raw/CLIP7.MTS -target ntsc-dv -aspect 16:9 " + root + "/720x480/DV25/raw/CLIP7.MTS/CLIP7.dv");
        QTest::newRow("the name ends at its first dot")
            << "dnx36" << "raw/Day1/A/B/take.2.MTS" << root + "/1920x1080/DNX36/raw/Day1/take.mov"
            << split("-i raw/Day1/A/B/take.2.MTS -acodec pcm_s16le -b 36M -s 1920x1080 -vcodec dnxhd "
                     "-r 23.976 -f mov " + root + "/1920x1080/DNX36/raw/Day1/take.mov");
    }

    void jobs()
    {
        QFETCH(QString, preset);
        QFETCH(QString, source);
        QFETCH(QString, output);
        QFETCH(QStringList, arguments);

        TranscodeJob job;
        if (preset == "mp4")
            job = mp4Job(1280, 720, 6000, source, root);
        else if (preset == "dnx60")
            job = dnxJob(1280, 720, 60, source, root);
        else if (preset == "dnx36")
            job = dnxJob(1920, 1080, 36, source, root);
        else
            job = dvJob(source, root);
        QCOMPARE(job.arguments, arguments);
        QCOMPARE(job.output, output);
        QCOMPARE(job.source, source);
        QVERIFY(job.output.startsWith(job.outputDir));
        QCOMPARE(job.outputDir.count('/'), output.count('/'));
        if (preset != "dv")
            QCOMPARE(job.arguments.size(), 15);
    }

    void timestamps_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("plain") << "00:01:02.50" << qint64(62500);
        QTest::newRow("hours") << "01:00:00.00" << qint64(3600000);
        QTest::newRow("no fraction") << "00:00:07" << qint64(7000);
        QTest::newRow("long fraction") << "00:00:01.123456" << qint64(1123);
        QTest::newRow("one digit fraction") << "00:00:01.5" << qint64(1500);
        QTest::newRow("N/A") << "N/A" << qint64(-1);
        QTest::newRow("negative") << "-00:00:00.04" << qint64(-1);
        QTest::newRow("garbage") << "12:xx:00" << qint64(-1);
        QTest::newRow("empty") << "" << qint64(-1);
        QTest::newRow("minutes out of range") << "00:75:00.00" << qint64(-1);
    }

    void timestamps()
    {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        QCOMPARE(ProgressParser::parseTimestamp(text), ms);
    }

    void progress_data()
    {
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QList<int>>("percents");   // after each piece
        QTest::addColumn<qint64>("duration");

        const QString head = "Input #0, mpegts, from 'raw/a/b.MTS':\n  Duration: 00:00:10.00, start: 1.4, bitrate: 9 kb/s\n";
        QTest::newRow("carriage-return progress lines")
            << QStringList{head, "frame=  25 time=00:00:01.00 bitrate=1\r", "frame=  125 time=00:00:05.00 bitrate=1\r",
                           "frame=  250 time=00:00:10.00 bitrate=1\r\nvideo:1kB\n"}
            << QList<int>{-1, 10, 50, 100} << qint64(10000);
        QTest::newRow("never backwards")
            << QStringList{head, "time=00:00:06.00\r", "time=00:00:02.00\r", "time=N/A\r"}
            << QList<int>{-1, 60, 60, 60} << qint64(10000);
        QTest::newRow("lines cut anywhere")
            << QStringList{"  Dura", "tion: 00:00:", "04.00, start\n", "time=00:0", "0:01.00 bit\r"}
            << QList<int>{-1, -1, -1, -1, 25} << qint64(4000);
        QTest::newRow("only the first duration counts")
            << QStringList{head, "  Duration: 00:00:01.00\n", "time=00:00:05.00\r"}
            << QList<int>{-1, -1, 50} << qint64(10000);
        QTest::newRow("time past the end stops at 100")
            << QStringList{head, "time=00:00:12.00\r"} << QList<int>{-1, 100} << qint64(10000);
        QTest::newRow("unknown duration")
            << QStringList{"  Duration: N/A, bitrate: N/A\n", "time=00:00:05.00\r"}
            << QList<int>{-1, -1} << qint64(-1);
        QTest::newRow("garbage")
            << QStringList{QString::fromUtf8("\x01\x02 time=zz Duration: 99\n"), "\r\r\n\n"}
            << QList<int>{-1, -1} << qint64(-1);
    }

    void progress()
    {
        QFETCH(QStringList, pieces);
        QFETCH(QList<int>, percents);
        QFETCH(qint64, duration);
        ProgressParser parser;
        for (int i = 0; i < pieces.size(); ++i) {
            parser.feed(pieces.at(i));
            QVERIFY2(parser.percent() == percents.at(i),
                     qPrintable(QStringLiteral("after piece %1: %2").arg(i).arg(parser.percent())));
        }
        QCOMPARE(parser.durationMs(), duration);
    }

    void lines_data()
    {
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QList<Line>>("lines");
        QTest::newRow("line feeds")
            << QStringList{"one\ntwo\n"} << QList<Line>{{"one", false}, {"two", false}};
        QTest::newRow("progress ends with a carriage return")
            << QStringList{"a\r", "b\r", "done\n"} << QList<Line>{{"a", true}, {"b", true}, {"done", false}};
        QTest::newRow("CR LF is an ordinary line, even when cut between the two")
            << QStringList{"one\r\ntwo\r", "\nthree\r\n"}
            << QList<Line>{{"one", false}, {"two", false}, {"three", false}};
        QTest::newRow("a piece without a line end waits")
            << QStringList{"hal", "f\n"} << QList<Line>{{"half", false}};
        QTest::newRow("the rest comes out at the end")
            << QStringList{"last words"} << QList<Line>{{"last words", false}};
        QTest::newRow("a last progress line")
            << QStringList{"frame=1\r"} << QList<Line>{{"frame=1", true}};
        QTest::newRow("empty lines are kept")
            << QStringList{"\n\n"} << QList<Line>{{"", false}, {"", false}};
    }

    void lines()
    {
        QFETCH(QStringList, pieces);
        QFETCH(QList<Line>, lines);
        ProgressParser parser;
        QList<Line> actual;
        for (const QString &piece : pieces)
            actual += parser.feed(piece);
        actual += parser.finish();
        QCOMPARE(actual.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i) {
            QCOMPARE(actual.at(i).text, lines.at(i).text);
            QCOMPARE(actual.at(i).progress, lines.at(i).progress);
        }
    }

    void names_data()
    {
        QTest::addColumn<QStringList>("clips");
        QTest::addColumn<QStringList>("presets");
        QTest::addColumn<QStringList>("existing");   // below the output root
        QTest::addColumn<QStringList>("map");        // "tree|name|clip"
        QTest::addColumn<QStringList>("skipped");    // clips the filter leaves out
        QTest::addColumn<QStringList>("expected");

        const QString a = "raw/Day1/CardA/00001.MTS";
        const QString b = "raw/Day1/CardB/00001.MTS";
        const QString c = "raw/Day1/CardC/00001.MTS";
        const QStringList mp4{"mp4"};

        QTest::newRow("two cards repeat a number: the second is named after its card")
            << QStringList{a, b} << mp4 << QStringList() << QStringList() << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001.mov", b + " => 720p/MP4/raw/Day1/00001_CardB.mov"};
        QTest::newRow("collisions over three cards, two presets")
            << QStringList{a, b, "raw/Day1/CardB/00002.MTS", c} << QStringList{"mp4", "dnx36"} << QStringList()
            << QStringList() << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001.mov", a + " => 1920x1080/DNX36/raw/Day1/00001.mov",
                           b + " => 720p/MP4/raw/Day1/00001_CardB.mov",
                           b + " => 1920x1080/DNX36/raw/Day1/00001_CardB.mov",
                           "raw/Day1/CardB/00002.MTS => 720p/MP4/raw/Day1/00002.mov",
                           "raw/Day1/CardB/00002.MTS => 1920x1080/DNX36/raw/Day1/00002.mov",
                           c + " => 720p/MP4/raw/Day1/00001_CardC.mov",
                           c + " => 1920x1080/DNX36/raw/Day1/00001_CardC.mov"};
        QTest::newRow("first folders differ: no clash")
            << QStringList{a, "raw/Day2/CardA/00001.MTS"} << mp4 << QStringList() << QStringList() << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001.mov",
                           "raw/Day2/CardA/00001.MTS => 720p/MP4/raw/Day2/00001.mov"};
        QTest::newRow("a clip directly in raw/ gets a folder of its name")
            << QStringList{"raw/CLIP7.MTS", "raw/Wedding/CLIP7.MTS"} << mp4 << QStringList() << QStringList()
            << QStringList()
            << QStringList{"raw/CLIP7.MTS => 720p/MP4/raw/CLIP7.MTS/CLIP7.mov",
                           "raw/Wedding/CLIP7.MTS => 720p/MP4/raw/Wedding/CLIP7.mov"};
        QTest::newRow("a clip directly in the first folder beside a card: no folder tells it apart")
            << QStringList{"raw/Day1/00001.MTS", a} << mp4 << QStringList() << QStringList() << QStringList()
            << QStringList{"raw/Day1/00001.MTS => 720p/MP4/raw/Day1/00001.mov", a + " => 720p/MP4/raw/Day1/00001_CardA.mov"};
        QTest::newRow("multi-dot names: the name ends at its first dot, a number tells them apart")
            << QStringList{"raw/Day1/A/take.2.MTS", "raw/Day1/A/take.3.MTS"} << mp4 << QStringList() << QStringList()
            << QStringList()
            << QStringList{"raw/Day1/A/take.2.MTS => 720p/MP4/raw/Day1/take.mov",
                           "raw/Day1/A/take.3.MTS => 720p/MP4/raw/Day1/take_2.mov"};
        QTest::newRow("multi-dot folders are kept whole")
            << QStringList{"raw/Day.1/Card.A/00001.MTS", "raw/Day.1/Card.B/00001.MTS"} << mp4 << QStringList()
            << QStringList() << QStringList()
            << QStringList{"raw/Day.1/Card.A/00001.MTS => 720p/MP4/raw/Day.1/00001.mov",
                           "raw/Day.1/Card.B/00001.MTS => 720p/MP4/raw/Day.1/00001_Card.B.mov"};
        QTest::newRow("cards' own inner folders do not tell them apart")
            << QStringList{"raw/Day1/CardA/PRIVATE/AVCHD/BDMV/STREAM/00001.MTS",
                           "raw/Day1/CardB/PRIVATE/AVCHD/BDMV/STREAM/00001.MTS"}
            << mp4 << QStringList() << QStringList() << QStringList()
            << QStringList{"raw/Day1/CardA/PRIVATE/AVCHD/BDMV/STREAM/00001.MTS => 720p/MP4/raw/Day1/00001.mov",
                           "raw/Day1/CardB/PRIVATE/AVCHD/BDMV/STREAM/00001.MTS => 720p/MP4/raw/Day1/00001_CardB.mov"};
        QTest::newRow("a clip named like a suffixed name keeps its own layout name")
            << QStringList{"raw/Day1/00001_CardB.MTS", a, b} << mp4 << QStringList() << QStringList() << QStringList()
            << QStringList{"raw/Day1/00001_CardB.MTS => 720p/MP4/raw/Day1/00001_CardB.mov",
                           a + " => 720p/MP4/raw/Day1/00001.mov", b + " => 720p/MP4/raw/Day1/00001_CardB_2.mov"};
        QTest::newRow("only DV ticked")
            << QStringList{a, b} << QStringList{"dv"} << QStringList() << QStringList() << QStringList()
            << QStringList{a + " => 720x480/DV25/raw/Day1/00001.dv", b + " => 720x480/DV25/raw/Day1/00001_CardB.dv"};
        QTest::newRow("existing outputs the map knows are done for their own clip only")
            << QStringList{a, b} << mp4
            << QStringList{"720p/MP4/raw/Day1/00001.mov", "720p/MP4/raw/Day1/00001_CardB.mov"}
            << QStringList{"720p/MP4|raw/Day1/00001.mov|" + a, "720p/MP4|raw/Day1/00001_CardB.mov|" + b}
            << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001.mov (done)",
                           b + " => 720p/MP4/raw/Day1/00001_CardB.mov (done)"};
        QTest::newRow("an output the map does not know is done for the first clip of its layout name")
            << QStringList{a, b} << mp4 << QStringList{"720p/MP4/raw/Day1/00001.mov"} << QStringList()
            << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001.mov (done)", b + " => 720p/MP4/raw/Day1/00001_CardB.mov"};
        QTest::newRow("a name once given never moves, even when its file is gone")
            << QStringList{a, b} << mp4 << QStringList()
            << QStringList{"720p/MP4|raw/Day1/00001.mov|" + b} << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001_CardA.mov", b + " => 720p/MP4/raw/Day1/00001.mov"};
        QTest::newRow("the map is per tree")
            << QStringList{a, b} << QStringList{"mp4", "dv"} << QStringList()
            << QStringList{"720p/MP4|raw/Day1/00001.mov|" + b} << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001_CardA.mov", a + " => 720x480/DV25/raw/Day1/00001.dv",
                           b + " => 720p/MP4/raw/Day1/00001.mov", b + " => 720x480/DV25/raw/Day1/00001_CardB.dv"};
        QTest::newRow("a suffixed name that is taken gets a number")
            << QStringList{a, b} << mp4 << QStringList{"720p/MP4/raw/Day1/00001_CardB.mov"} << QStringList()
            << QStringList()
            << QStringList{a + " => 720p/MP4/raw/Day1/00001.mov", b + " => 720p/MP4/raw/Day1/00001_CardB_2.mov"};
        QTest::newRow("the condition never changes a name")
            << QStringList{a, b} << mp4 << QStringList() << QStringList() << QStringList{a}
            << QStringList{b + " => 720p/MP4/raw/Day1/00001_CardB.mov"};
        QTest::newRow("a vanished clip keeps its name from the map")
            << QStringList{b} << mp4 << QStringList() << QStringList{"720p/MP4|raw/Day1/00001.mov|" + a}
            << QStringList() << QStringList{b + " => 720p/MP4/raw/Day1/00001_CardB.mov"};
        QTest::newRow("no clips") << QStringList() << mp4 << QStringList() << QStringList() << QStringList()
                                  << QStringList();
    }

    void names()
    {
        QFETCH(QStringList, clips);
        QFETCH(QStringList, presets);
        QFETCH(QStringList, existing);
        QFETCH(QStringList, map);
        QFETCH(QStringList, skipped);
        QFETCH(QStringList, expected);

        TranscodePlanner::Input input;
        input.clips = clips;
        for (const QString &preset : presets)
            input.presets << presetOf(preset);
        input.outputRoot = root;
        input.host = "ws1";
        input.pid = 4242;
        for (const QString &file : existing)
            input.existing.insert(root + "/" + file);
        for (const QString &line : map) {
            const QStringList fields = line.split('|');
            const QString tree = root + "/" + fields.at(0);
            if (!input.maps.contains(tree))
                input.maps.insert(tree, OutputNameMap(tree));
            input.maps[tree].add(fields.at(1), fields.at(2));
        }
        QStringList asked;
        const TranscodePlanner::Plan plan = TranscodePlanner::plan(input, [&](const QString &clip) {
            asked << clip;
            return skipped.contains(clip) ? TranscodePlanner::Verdict::Skip : TranscodePlanner::Verdict::Accept;
        });
        QCOMPARE(describe(plan), expected);
        QCOMPARE(asked, clips);
        QVERIFY(!plan.stopped);
        QCOMPARE(plan.acceptedClips, int(clips.size() - skipped.size()));

        for (const TranscodePlanner::PlannedJob &job : plan.jobs) {
            // The encoder writes the temporary name beside the output.
            QCOMPARE(job.job.arguments.last(), job.job.partial);
            QCOMPARE(job.job.partial, PartialFile::pathFor(job.job.output, "ws1", 4242));
            QVERIFY(job.job.output.startsWith(job.job.outputDir));
            QVERIFY(job.job.outputDir.startsWith(job.job.tree + "/raw/"));
        }
        // Every job that will run has its name recorded, unless the map
        // already holds it; nothing else is recorded.
        QStringList recorded;
        for (const TranscodePlanner::NameRecord &record : plan.records)
            recorded << record.clip + " => " + record.tree.mid(root.size() + 1) + "/" + record.name;
        QStringList toRecord;
        for (const TranscodePlanner::PlannedJob &job : plan.jobs) {
            const OutputNameMap known = input.maps.value(job.job.tree);
            if (!job.done && !known.contains(job.job.output.mid(job.job.tree.size() + 1)))
                toRecord << job.job.source + " => " + job.job.output.mid(root.size() + 1);
        }
        QCOMPARE(recorded, toRecord);
    }

    void notes()
    {
        const QString a = "raw/Day1/CardA/00001.MTS";
        const QString b = "raw/Day1/CardB/00001.MTS";
        TranscodePlanner::Input input;
        input.clips = QStringList{"raw/CLIP9.MTS", a, b};
        input.presets = {Preset::Mp4, Preset::Dv};
        input.outputRoot = root;
        input.host = "ws1";
        input.pid = 1;
        input.existing.insert(root + "/720p/MP4/raw/CLIP9.MTS/CLIP9.mov");
        const TranscodePlanner::Plan plan = TranscodePlanner::plan(input);
        QCOMPARE(plan.notes,
                 (QStringList{"Skipped for raw/CLIP9.MTS, the output exists: " + root + "/720p/MP4/raw/CLIP9.MTS/CLIP9.mov",
                              "No name map says which clip made " + root
                                  + "/720p/MP4/raw/CLIP9.MTS/CLIP9.mov; taken as done for raw/CLIP9.MTS, whose layout "
                                    "name it has",
                              "Named apart for " + b + ", since " + a + " has its usual names: " + root
                                  + "/720p/MP4/raw/Day1/00001_CardB.mov, " + root + "/720x480/DV25/raw/Day1/00001_CardB.dv"}));
        // The job list's note column says the same per job.
        QCOMPARE(plan.jobs.at(4).note, "named apart: " + a + " has 00001.mov");
        QCOMPARE(plan.jobs.at(5).note, "named apart: " + a + " has 00001.dv");
        QVERIFY(plan.jobs.at(0).note.contains("name map does not know"));
        QVERIFY(plan.jobs.at(2).note.isEmpty());
    }

    void aFilterThatFailsStopsThePlan()
    {
        TranscodePlanner::Input input;
        input.clips = QStringList{"raw/A/1.MTS", "raw/A/2.MTS", "raw/A/3.MTS"};
        input.presets = {Preset::Mp4};
        input.outputRoot = root;
        const TranscodePlanner::Plan plan = TranscodePlanner::plan(input, [](const QString &clip) {
            return clip.endsWith("2.MTS") ? TranscodePlanner::Verdict::Stop : TranscodePlanner::Verdict::Accept;
        });
        QVERIFY(plan.stopped);
        QCOMPARE(plan.stoppedAt, "raw/A/2.MTS");
        QVERIFY(plan.jobs.isEmpty());
        QVERIFY(plan.records.isEmpty());
    }

    void distinguishingFolders_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("owner");
        QTest::addColumn<QString>("folders");
        QTest::newRow("cards") << "raw/Day1/CardB/00001.MTS" << "raw/Day1/CardA/00001.MTS" << "CardB";
        QTest::newRow("deeper, common start") << "raw/D/Cam1/CardB/1.MTS" << "raw/D/Cam1/CardA/1.MTS" << "CardB";
        QTest::newRow("two folders differ") << "raw/D/Cam2/CardB/1.MTS" << "raw/D/Cam1/CardA/1.MTS" << "Cam2_CardB";
        QTest::newRow("owner has no inner folder") << "raw/D/CardA/S/1.MTS" << "raw/D/1.MTS" << "CardA_S";
        QTest::newRow("clip has no inner folder") << "raw/D/1.MTS" << "raw/D/CardA/1.MTS" << "";
        QTest::newRow("the same folders") << "raw/D/A/take.3.MTS" << "raw/D/A/take.2.MTS" << "";
    }

    void distinguishingFolders()
    {
        QFETCH(QString, clip);
        QFETCH(QString, owner);
        QFETCH(QString, folders);
        QCOMPARE(TranscodePlanner::distinguishingFolders(clip, owner), folders);
    }

    void partialNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("action");      // "remove", "keep" or "" (not a temporary file)
        QTest::addColumn<QString>("finalName");
        QTest::addColumn<QString>("reason");      // a part of it

        QTest::newRow("this host, process gone") << ".00001.mov.ws1.example.org-100.partial" << "remove"
                                                 << "00001.mov" << "no longer running";
        QTest::newRow("this host, process running") << ".00001.mov.ws1.example.org-200.partial" << "keep"
                                                    << "00001.mov" << "still runs";
        QTest::newRow("this host, this very process") << ".00001.mov.ws1.example.org-300.partial" << "remove"
                                                      << "00001.mov" << "no longer running";
        QTest::newRow("a suffixed name with dots") << ".00001_Card.B.mov.ws1.example.org-100.partial" << "remove"
                                                   << "00001_Card.B.mov" << "no longer running";
        QTest::newRow("another host on a shared disk") << ".00001.mov.edit-bay-2-100.partial" << "keep"
                                                       << "00001.mov" << "edit-bay-2";
        QTest::newRow("a host whose name starts like ours") << ".00001.mov.ws1.example.org.uk-100.partial" << "keep"
                                                            << "00001.mov" << "ws1.example.org.uk";
        QTest::newRow("an unreadable writer") << ".x.y-1.partial" << "keep" << "" << "cannot be told";
        QTest::newRow("not hidden") << "00001.mov.ws1.example.org-100.partial" << "" << "" << "";
        QTest::newRow("no process id") << ".00001.mov.ws1.example.org.partial" << "" << "" << "";
        QTest::newRow("an output") << "00001.mov" << "" << "" << "";
    }

    void partialNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, action);
        QFETCH(QString, finalName);
        QFETCH(QString, reason);
        const QString host = "ws1.example.org";
        const QList<PartialFile::Leftover> leftovers = PartialFile::classify(
            {"/t/720p/MP4/raw/Day1/" + name}, host, 300, [](qint64 pid) { return pid == 200 || pid == 300; });
        if (action.isEmpty()) {
            QVERIFY(leftovers.isEmpty());
            QVERIFY(!PartialFile::isPartialName(name));
            return;
        }
        QCOMPARE(leftovers.size(), 1);
        QCOMPARE(leftovers.first().action == PartialFile::Leftover::Remove ? "remove" : "keep", action);
        QCOMPARE(leftovers.first().finalName, finalName);
        QVERIFY2(leftovers.first().reason.contains(reason), qPrintable(leftovers.first().reason));
    }

    void partialPathIsBesideTheOutput()
    {
        QCOMPARE(PartialFile::pathFor("/r/transcode/720p/MP4/raw/Day1/00001.mov", "ws1", 77),
                 "/r/transcode/720p/MP4/raw/Day1/.00001.mov.ws1-77.partial");
        QVERIFY(PartialFile::isPartialName(QFileInfo(PartialFile::pathFor("/a/b.dv")).fileName()));
        const QString tag = PartialFile::hostTag();
        QVERIFY(!tag.isEmpty());
        QVERIFY(!tag.contains('/'));
        QVERIFY(PartialFile::processRunning(QCoreApplication::applicationPid()));
        QVERIFY(!PartialFile::processRunning(0));
    }

    void nameMapFile()
    {
        QTemporaryDir dir;
        const QString tree = dir.path() + "/720p/MP4";
        OutputNameMap map(tree);
        QVERIFY(map.load());   // none yet: empty, no error
        QCOMPARE(map.size(), 0);
        QVERIFY(map.add("raw/Day1/00001.mov", "raw/Day1/CardA/00001.MTS"));
        QVERIFY(map.add("raw/Odd/a\tb.mov", "raw/Odd/x/a\tb\\c\nd.MTS"));
        QVERIFY(!map.add("raw/Day1/00001.mov", "raw/Day1/CardB/00001.MTS"));
        QVERIFY(map.save());

        // Another client adds a name meanwhile, and a line gets damaged.
        QFile file(tree + "/" + OutputNameMap::fileName());
        QVERIFY(file.open(QIODevice::Append));
        file.write("raw/Day1/00001_CardB.mov\traw/Day1/CardB/00001.MTS\nbroken line\nraw/x.mov\tbad\\q\n");
        file.close();
        QVERIFY(map.add("raw/Day1/00002.mov", "raw/Day1/CardA/00002.MTS"));
        QVERIFY(map.save());

        OutputNameMap read(tree);
        QVERIFY(read.load());
        QCOMPARE(read.size(), 4);
        QCOMPARE(read.clipOf("raw/Day1/00001.mov"), "raw/Day1/CardA/00001.MTS");
        QCOMPARE(read.clipOf("raw/Odd/a\tb.mov"), "raw/Odd/x/a\tb\\c\nd.MTS");
        QCOMPARE(read.nameOf("raw/Day1/CardB/00001.MTS"), "raw/Day1/00001_CardB.mov");
        QCOMPARE(read.clipOf("raw/Day1/00002.mov"), "raw/Day1/CardA/00002.MTS");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        file.close();
        QVERIFY(text.startsWith("# Tavelo output names 1\nraw/Day1/00001.mov\traw/Day1/CardA/00001.MTS\n"));
        QVERIFY(text.contains("raw/Odd/a\\tb.mov\traw/Odd/x/a\\tb\\\\c\\nd.MTS\n"));

        OutputNameMap damaged(tree);
        QCOMPARE(damaged.parse("# header\nok.mov\tclip.MTS\nno tab\n\ta\nname\t\\z\n"), 3);
        QCOMPARE(damaged.size(), 1);
    }

    void readOutputTrees()
    {
        QTemporaryDir dir;
        const QString outputRoot = dir.path() + "/transcode";
        auto create = [](const QString &path) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            return file.open(QIODevice::WriteOnly);
        };
        QVERIFY(create(outputRoot + "/720p/MP4/raw/Day1/00001.mov"));
        QVERIFY(create(outputRoot + "/720p/MP4/raw/Day1/.00002.mov.ws1-5.partial"));
        QVERIFY(create(outputRoot + "/720x480/DV25/raw/Day1/00001.dv"));   // not ticked: not read
        QFile map(outputRoot + "/720p/MP4/" + OutputNameMap::fileName());
        QVERIFY(map.open(QIODevice::WriteOnly));
        map.write("raw/Day1/00001.mov\traw/Day1/CardA/00001.MTS\nbroken\n");
        map.close();

        TranscodePlanner::Input input;
        input.presets = {Preset::Mp4};
        input.outputRoot = outputRoot;
        const TranscodePlanner::TreeContents trees = TranscodePlanner::readOutputTrees(input);
        QVERIFY(trees.ok);
        const QStringList &partials = trees.partials;
        const QStringList &notes = trees.notes;
        QCOMPARE(partials, QStringList{outputRoot + "/720p/MP4/raw/Day1/.00002.mov.ws1-5.partial"});
        QVERIFY(input.existing.contains(outputRoot + "/720p/MP4/raw/Day1/00001.mov"));
        QVERIFY(!input.existing.contains(outputRoot + "/720x480/DV25/raw/Day1/00001.dv"));
        QVERIFY(!input.existing.contains(map.fileName()));
        QCOMPARE(input.maps.value(outputRoot + "/720p/MP4").clipOf("raw/Day1/00001.mov"), "raw/Day1/CardA/00001.MTS");
        QCOMPARE(notes.size(), 1);
        QVERIFY2(notes.first().startsWith("1 line(s) of the name map"), qPrintable(notes.first()));
    }

    void aMapNameThatLeavesItsTreeIsRefused_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("kept");
        QTest::newRow("five folders up") << QByteArray("../../../../../escaped.dv") << false;
        QTest::newRow("up inside") << QByteArray("raw/Day1/../../../x.dv") << false;
        QTest::newRow("absolute") << QByteArray("/tmp/escaped.dv") << false;
        QTest::newRow("backslashes up") << QByteArray("raw\\\\..\\\\..\\\\x.dv") << false;
        QTest::newRow("a drive") << QByteArray("C:/x.dv") << false;
        QTest::newRow("a line break") << QByteArray("raw/Day1/a\\nb.dv") << false;
        QTest::newRow("dots in a name") << QByteArray("raw/Day1/..00001.dv") << true;
        QTest::newRow("plain") << QByteArray("raw/Day1/00001.dv") << true;
    }

    void aMapNameThatLeavesItsTreeIsRefused()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, kept);
        QTemporaryDir dir;
        const QString outputRoot = dir.path() + "/root/transcode";
        const QString tree = outputRoot + "/720x480/DV25";
        QVERIFY(QDir().mkpath(tree));
        QFile file(tree + "/" + OutputNameMap::fileName());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# Tavelo output names 1\n" + name + "\traw/Day1/CardA/00001.MTS\n");
        file.close();

        // The map and the scan refuse it, and say so.
        OutputNameMap map(tree);
        QVERIFY(map.load());
        QCOMPARE(map.size(), kept ? 1 : 0);
        QCOMPARE(map.refusedLines(), kept ? 0 : 1);
        QCOMPARE(map.ignoredLines(), 0);
        TranscodeScan::Input input;
        input.clips = {"raw/Day1/CardA/00001.MTS"};
        input.presets = {Preset::Dv};
        input.outputRoot = outputRoot;
        QStringList log;
        input.report = [&log](const QStringList &lines) { log += lines; };
        const TranscodeScan::Result result = TranscodeScan::run(input);
        QVERIFY(result.ok);
        QCOMPARE(result.entries.size(), 1);
        const TranscodeJob job = result.entries.first().job;
        QVERIFY2(OutputNameMap::isInside(job.output, tree), qPrintable(job.output));
        QVERIFY(OutputNameMap::isInside(job.partial, tree));
        QCOMPARE(job.output, kept ? tree + "/" + name : tree + "/raw/Day1/00001.dv");
        QCOMPARE(log.filter("give names outside its tree").size(), kept ? 0 : 1);
        QVERIFY(!QFileInfo::exists(dir.path() + "/escaped.dv"));
    }

    // Regression: a map line whose name had a million characters was taken
    // as a name, and the window hung for minutes laying out the log line
    // that named it. A name no file system can hold (more than 255 bytes in
    // one part, or 4096 in all) is a damaged line, as any other.
    void aNameLongerThanAFileSystemAllowsIsDamaged_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("clip");
        QTest::addColumn<bool>("kept");
        const QString clip = "raw/Day1/CardA/00002.MTS";
        QTest::newRow("a million characters") << "raw/Day1/" + QString(1000000, 'x') + ".dv" << clip << false;
        QTest::newRow("a part of 256 bytes") << "raw/Day1/" + QString(253, 'x') + ".dv" << clip << false;
        QTest::newRow("a part of 257 bytes in 130 characters")
            << "raw/Day1/" + QString(127, QChar(0xe9)) + ".dv" << clip << false;
        QTest::newRow("a path of 4097 bytes")
            << QString(QStringList(16, QString(250, 'x')).join('/') + '/' + QString(78, 'y') + ".dv") << clip << false;
        QTest::newRow("a clip of a million characters") << "raw/Day1/00002.dv" << QString(1000000, 'c') << false;
        QTest::newRow("a part of 255 bytes") << "raw/Day1/" + QString(252, 'x') + ".dv" << clip << true;
        QTest::newRow("a path of 4096 bytes")
            << QString(QStringList(16, QString(250, 'x')).join('/') + '/' + QString(77, 'y') + ".dv") << clip << true;
    }

    void aNameLongerThanAFileSystemAllowsIsDamaged()
    {
        QFETCH(QString, name);
        QFETCH(QString, clip);
        QFETCH(bool, kept);
        QCOMPARE(OutputNameMap::fitsFileSystem(name) && OutputNameMap::fitsFileSystem(clip), kept);
        QTemporaryDir dir;
        const QString outputRoot = dir.path() + "/transcode";
        const QString tree = outputRoot + "/720x480/DV25";
        QVERIFY(QDir().mkpath(tree));
        QFile file(tree + "/" + OutputNameMap::fileName());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# Tavelo output names 1\n" + name.toUtf8() + "\t" + clip.toUtf8() + "\n");
        file.close();

        OutputNameMap map(tree);
        QVERIFY(map.load());
        QCOMPARE(map.size(), kept ? 1 : 0);
        QCOMPARE(map.ignoredLines(), kept ? 0 : 1);
        QCOMPARE(map.refusedLines(), 0);
        QCOMPARE(OutputNameMap::ownerOf(tree, name).clip, kept ? clip : QString());

        // The scan names the clip by the layout and says a line was damaged.
        TranscodeScan::Input input;
        input.clips = {"raw/Day1/CardA/00002.MTS"};
        input.presets = {Preset::Dv};
        input.outputRoot = outputRoot;
        QStringList log;
        input.report = [&log](const QStringList &lines) { log += lines; };
        const TranscodeScan::Result result = TranscodeScan::run(input);
        QVERIFY(result.ok);
        QCOMPARE(result.entries.size(), 1);
        if (!kept || clip != input.clips.first()) {
            QCOMPARE(result.entries.first().job.output, tree + "/raw/Day1/00002.dv");
            QCOMPARE(log.filter("are damaged (not of its form, or a name longer than a file system allows)").size(),
                     kept ? 0 : 1);
        } else {
            QCOMPARE(result.entries.first().job.output, tree + "/" + name);
        }
        for (const QString &line : std::as_const(log))
            QVERIFY2(line.size() < 1000, qPrintable(line.left(200)));
    }

    // Only the shots chosen in the main window are encoded, in addition to
    // the filter; their names are those of a run over every clip, and a
    // chosen shot whose clip is not here is said.
    void onlyTheChosenClipsAreQueued()
    {
        QTemporaryDir dir;
        TranscodeScan::Input input;
        input.clips = {"raw/Day1/CardA/00001.MTS", "raw/Day1/CardA/00002.MTS", "raw/Day1/CardB/00001.MTS"};
        input.presets = {Preset::Dv};
        input.outputRoot = dir.path() + "/transcode";
        input.only = QSet<QString>{"raw/Day1/CardB/00001.MTS", "raw/Day1/CardA/00002.MTS", "raw/Gone/00009.MTS"};
        QStringList log;
        input.report = [&log](const QStringList &lines) { log += lines; };
        QStringList asked;
        const TranscodeScan::Result result = TranscodeScan::run(input, [&asked](const QString &clip) {
            asked << clip;
            return clip.contains("CardA") ? TranscodePlanner::Verdict::Skip : TranscodePlanner::Verdict::Accept;
        });
        QVERIFY(result.ok);
        // The filter is asked about the chosen clips only.
        QCOMPARE(asked, (QStringList{"raw/Day1/CardA/00002.MTS", "raw/Day1/CardB/00001.MTS"}));
        QCOMPARE(result.acceptedClips, 1);
        QCOMPARE(result.entries.size(), 1);
        QCOMPARE(result.entries.first().job.source, "raw/Day1/CardB/00001.MTS");
        // Card A's clip keeps its name although it was not chosen.
        QCOMPARE(result.entries.first().job.output, input.outputRoot + "/720x480/DV25/raw/Day1/00001_CardB.dv");
        QCOMPARE(result.notFound, QStringList{"raw/Gone/00009.MTS"});
        QCOMPARE(log.filter("1 of the chosen shots have no clip below raw/ on this computer, so they are not "
                            "encoded: raw/Gone/00009.MTS").size(),
                 1);

        // No restriction: every clip the filter accepts.
        input.only.reset();
        asked.clear();
        QCOMPARE(TranscodeScan::run(input, [&asked](const QString &clip) {
                     asked << clip;
                     return TranscodePlanner::Verdict::Accept;
                 }).entries.size(),
                 3);
        QCOMPARE(asked, input.clips);
    }

    // Two workstations scan one shared tree at once. The first saw only
    // card B (card A was still being copied) and names its clip 00001.dv;
    // the second, which sees both cards, waits for the map's lock and
    // honours that name instead of planning card A's clip into it.
    void aScanWaitsForTheMapsLockAndHonoursItsNames()
    {
        QTemporaryDir dir;
        const QString outputRoot = dir.path() + "/transcode";
        const QString tree = outputRoot + "/720x480/DV25";
        const TwoWorkstations workstations = twoWorkstations(outputRoot);
        TranscodeScan::Input first = workstations.first;
        TranscodeScan::Input second = workstations.second;

        // The first holds the lock while it plans; the second starts then.
        QFuture<TranscodeScan::Result> secondRun;
        bool secondStarted = false;
        std::atomic_int secondWaited{0};
        second.keepAlive = [&secondWaited] { ++secondWaited; };
        const TranscodeScan::Result firstResult = TranscodeScan::run(first, [&](const QString &) {
            if (!secondStarted) {
                secondStarted = true;
                secondRun = QtConcurrent::run([&second] { return TranscodeScan::run(second); });
                QElapsedTimer clock;
                clock.start();
                while (secondWaited == 0 && clock.elapsed() < 10000)
                    QThread::msleep(5);
            }
            return TranscodePlanner::Verdict::Accept;
        });
        QVERIFY(secondStarted);
        const TranscodeScan::Result secondResult = secondRun.result();
        QVERIFY(secondWaited > 0);
        QVERIFY(firstResult.ok);
        QVERIFY(secondResult.ok);
        QCOMPARE(firstResult.entries.first().job.output, tree + "/raw/Day1/00001.dv");
        QCOMPARE(secondResult.entries.size(), 2);
        QCOMPARE(secondResult.entries.at(0).job.output, tree + "/raw/Day1/00001_CardA.dv");
        QCOMPARE(secondResult.entries.at(1).job.output, tree + "/raw/Day1/00001.dv");
        OutputNameMap map(tree);
        QVERIFY(map.load());
        QCOMPARE(map.clipOf("raw/Day1/00001.dv"), "raw/Day1/CardB/00001.MTS");
        QCOMPARE(map.clipOf("raw/Day1/00001_CardA.dv"), "raw/Day1/CardA/00001.MTS");
        QCOMPARE(map.size(), 2);
        SyncLock free;
        QCOMPARE(free.takeFile(OutputNameMap::lockPath(tree)), SyncLock::Result::Taken);
        free.release();

        // A lock that is never let go: the scan says who holds it and
        // queues nothing, the map untouched.
        SyncLock held;
        QCOMPARE(held.takeFile(OutputNameMap::lockPath(tree)), SyncLock::Result::Taken);
        second.clips = {"raw/Day2/CardA/00001.MTS"};
        second.lockWaitMs = 200;
        const TranscodeScan::Result refused = TranscodeScan::run(second);
        QVERIFY(!refused.ok);
        QVERIFY(refused.entries.isEmpty());
        QVERIFY2(refused.error.startsWith("The name map " + QDir::toNativeSeparators(tree + "/.tavelo-sources")
                                          + " is being changed by "),
                 qPrintable(refused.error));
        QVERIFY2(refused.error.contains(" process " + QString::number(QCoreApplication::applicationPid())),
                 qPrintable(refused.error));
        QVERIFY(map.load());
        QCOMPARE(map.size(), 2);
    }

    // Regression: the map's lock file stays in its tree, made with the
    // umask of whoever scanned first (022): another user's scan could not
    // open it and planned without the lock, beside a run that held it.
    // It is refused now, naming the file and its owner, and queues nothing.
    void aMapLockOfAnotherUserRefusesTheScan()
    {
#ifndef Q_OS_UNIX
        QSKIP("file owners and permissions are tested on Unix");
#else
        if (ignoresPermissions())
            QSKIP("root ignores permissions here; permissionCasesWithoutPrivileges runs this in a child that does not");
        QTemporaryDir dir;
        const QString outputRoot = dir.path() + "/transcode";
        const QString tree = outputRoot + "/720x480/DV25";
        QVERIFY(QDir().mkpath(tree));
        const QString lockPath = OutputNameMap::lockPath(tree);
        QFile lockFile(lockPath);
        QVERIFY(lockFile.open(QIODevice::WriteOnly));
        lockFile.close();
        // Another user's, as that user's umask left it.
        const QByteArray lockName = QFile::encodeName(lockPath);
        QCOMPARE(::chmod(lockName.constData(), 0644), 0);
        if (::chown(lockName.constData(), 65534, 65534) != 0)
            QSKIP("giving a file to another user needs root");
        const passwd *owner = ::getpwuid(65534);
        QVERIFY(owner);

        SyncLock lock;
        QCOMPARE(lock.takeFile(lockPath, SyncLock::OnRelease::Keep), SyncLock::Result::Denied);
        QCOMPARE(lock.owner(), QString::fromLocal8Bit(owner->pw_name));
        QVERIFY(!lock.isHeld());

        TranscodeScan::Input input = twoWorkstations(outputRoot).second;
        input.lockWaitMs = 5000;
        QElapsedTimer clock;
        clock.start();
        const TranscodeScan::Result refused = TranscodeScan::run(input);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed()))); // nothing to wait for
        QVERIFY(!refused.ok);
        QVERIFY(refused.entries.isEmpty());
        QVERIFY2(refused.error.startsWith("The name map " + QDir::toNativeSeparators(tree + "/.tavelo-sources")
                                          + " cannot be locked: its lock file " + QDir::toNativeSeparators(lockPath)
                                          + " belongs to " + QString::fromLocal8Bit(owner->pw_name)
                                          + ", and this user may not write it (Permission denied), so nothing was "
                                            "queued."),
                 qPrintable(refused.error));
        QVERIFY(!QFileInfo::exists(tree + "/.tavelo-sources"));
#endif
    }

    void permissionCasesWithoutPrivileges()
    {
        QString skipped;
        const QString failure = runWithoutPermissionBypass({"aMapLockOfAnotherUserRefusesTheScan"}, &skipped);
        if (!skipped.isEmpty())
            QSKIP(qPrintable(skipped));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
};

QTEST_GUILESS_MAIN(TestTranscodePlan)
#include "tst_transcodeplan.moc"
