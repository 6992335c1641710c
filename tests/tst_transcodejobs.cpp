// The presets' argument lists and output paths, and the parser that follows
// the encoder's progress: plain code, no window.

#include "transcode/progressparser.h"
#include "transcode/transcodejob.h"

#include <QTest>

using Line = ProgressParser::Line;
Q_DECLARE_METATYPE(QList<Line>)

namespace {
const QString root = QStringLiteral("/media/root/transcode");

QStringList split(const QString &text)
{
    return text.split(QLatin1Char(' '));
}
} // namespace

class TestTranscodeJobs : public QObject
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
};

QTEST_APPLESS_MAIN(TestTranscodeJobs)
#include "tst_transcodejobs.moc"
