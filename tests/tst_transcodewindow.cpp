// The transcode window, offline and online, as the user meets it: its
// layout in both modes and the encoder look-up; its runs with the fake
// encoder (tests/fakeencoder.cpp) in the start directory's ffmpeg/bin;
// "Cancel" and closing the window while an encoder runs; and a run that dies
// with the machine. Windows built here are hidden and left alive: deleting
// or closing one ends the process. The paths that end it run the real client
// as a child, driven by the test plug-in in tests/driver.
//
// "Cancel" and closing the window both end the client with status 0, stop
// the encoder and remove its partial output, leaving nothing in the output
// folder. A run killed with SIGKILL while the encoder writes leaves nothing
// under a final name and no encoder running, and the next run encodes the
// clip. For that run the encoder is the real one behind a small script in the
// start folder's ffmpeg/bin that records its process id and its parent's
// (the client's) and reads the input at its own speed (-re), so a 6 s clip
// takes 6 s to encode and the kill surely comes while the encoder writes.
// Two cards that repeat a clip number both get their outputs, which ffprobe
// reads.

#include "app/clientstate.h"
#include "testsupport.h"
#include "transcode/encoderlocator.h"
#include "transcode/joblistmodel.h"
#include "transcode/outputnamemap.h"
#include "files/partialfile.h"
#include "transcode/transcodedialog.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTreeView>
#include <QtConcurrent>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

QString describeWidget(QWidget *widget)
{
    if (!widget)
        return QString();
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return QStringLiteral("%1 \"%2\"").arg(QString::fromLatin1(widget->metaObject()->className()), button->text());
    return QStringLiteral("%1 %2").arg(QString::fromLatin1(widget->metaObject()->className()), widget->objectName());
}

// Each row as "label | field", top to bottom.
QStringList rows(QWidget *window)
{
    auto *layout = qobject_cast<QFormLayout *>(window->layout());
    QStringList result;
    if (!layout)
        return result;
    for (int row = 0; row < layout->rowCount(); ++row) {
        QLayoutItem *label = layout->itemAt(row, QFormLayout::LabelRole);
        QLayoutItem *field = layout->itemAt(row, QFormLayout::FieldRole);
        QString labelText;
        if (label && qobject_cast<QLabel *>(label->widget()))
            labelText = static_cast<QLabel *>(label->widget())->text();
        result << labelText + QStringLiteral(" | ") + describeWidget(field ? field->widget() : nullptr);
    }
    return result;
}

void createFile(const QString &path, const QByteArray &bytes = "clip")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The output a temporary name becomes: ".x.mov.<host>-<pid>.partial" in a
// folder is x.mov in that folder.
QString finalOf(const QString &partial)
{
    const int slash = int(partial.lastIndexOf('/'));
    const QString name = partial.mid(slash + 1);
    const QString tail = "." + PartialFile::hostTag() + "-" + QString::number(QCoreApplication::applicationPid())
        + ".partial";
    if (!name.startsWith('.') || !name.endsWith(tail))
        return "not a temporary name of this process: " + partial;
    return partial.left(slash + 1) + name.mid(1, name.size() - 1 - tail.size());
}

// Every temporary file below dir.
QStringList partialsBelow(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(".partial"))
            found << path;
    }
    return found;
}

// The window under test, with every line its log ever showed.
struct Window
{
    TranscodeDialog *dialog = nullptr;
    std::shared_ptr<QSet<QString>> logLines = std::make_shared<QSet<QString>>();

    QPushButton *button(const char *name) const { return dialog->findChild<QPushButton *>(name); }
    QCheckBox *box(const char *name) const { return dialog->findChild<QCheckBox *>(name); }
    QLabel *label(const char *name) const { return dialog->findChild<QLabel *>(name); }
    QTextEdit *log() const { return dialog->findChild<QTextEdit *>("logEdit"); }
    JobListModel *jobs() const { return dialog->findChild<JobListModel *>(); }

    QStringList states() const
    {
        QStringList result;
        for (int row = 0; row < jobs()->rowCount(); ++row)
            result << jobs()->entry(row).job.source + " " + jobs()->entry(row).job.preset + ": "
                    + JobListModel::stateText(jobs()->entry(row));
        return result;
    }
    int rowOf(const QString &source, const char *preset) const
    {
        for (int row = 0; row < jobs()->rowCount(); ++row) {
            if (jobs()->entry(row).job.source == source && jobs()->entry(row).job.preset == preset)
                return row;
        }
        return -1;
    }
    QString stateOf(const QString &source, const char *preset) const
    {
        const int row = rowOf(source, preset);
        return row < 0 ? QString() : JobListModel::stateText(jobs()->entry(row));
    }
};

constexpr int clipSeconds = 6;

QStringList filesBelow(const QString &dir, const QString &suffix)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(suffix))
            found << path;
    }
    return found;
}

} // namespace

class TestTranscodeWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir start;       // holds ffmpeg/bin/ffmpeg
    QTemporaryDir emptyStart;  // holds no encoder
    QTemporaryDir root;        // the local root: raw/ and transcode/
    QString encoderLog;

    Window open()
    {
        Window window;
        window.dialog = new TranscodeDialog; // never deleted: that ends the process
        QTextEdit *log = window.log();
        std::shared_ptr<QSet<QString>> lines = window.logLines;
        // Every line the log shows, also those added in one edit.
        connect(log, &QTextEdit::textChanged, log, [log, lines]() {
            for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next())
                lines->insert(block.text());
        });
        return window;
    }

    // Clicks Begin and waits for the run to end.
    bool run(Window &window, int timeoutMs = 30000)
    {
        window.button("beginButton")->click();
        QElapsedTimer clock;
        clock.start();
        while (!window.button("beginButton")->isEnabled() && clock.elapsed() < timeoutMs)
            QTest::qWait(20);
        return window.button("beginButton")->isEnabled();
    }

    // The encoder's runs so far: their arguments, the temporary name it
    // wrote given as the output it became.
    QList<QStringList> encoderRuns() const
    {
        QList<QStringList> runs;
        for (const QString &line : QString::fromUtf8(readFile(encoderLog)).split('\n', Qt::SkipEmptyParts)) {
            QStringList arguments = line.split('\t').mid(1);
            if (!arguments.isEmpty())
                arguments.last() = finalOf(arguments.last());
            runs << arguments;
        }
        return runs;
    }

    QString out(const QString &relative) const { return root.path() + "/transcode/" + relative; }

    // The run that is killed, and the one after it.
    QTemporaryDir crashHome;
    QTemporaryDir crashStart;
    QTemporaryDir crashRoot;
    QString pidsFile;
    QString probe;
    QString leftover;   // what the killed run left, for the next run

    QString crashOut(const QString &relative) const { return crashRoot.path() + "/transcode/720p/MP4/" + relative; }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment extra;
        extra.insert("TAVELO_ENCODER_PIDS", pidsFile);
        return extra;
    }

    // "encoder-pid client-pid" per encoder started.
    QList<QPair<qint64, qint64>> encoders() const
    {
        QList<QPair<qint64, qint64>> result;
        QFile file(pidsFile);
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() == 2)
                result << qMakePair(fields.at(0).toLongLong(), fields.at(1).toLongLong());
        }
        return result;
    }

    QJsonObject probeFile(const QString &path)
    {
        QProcess ffprobe;
        ffprobe.start(probe, {"-v", "error", "-show_entries", "stream=codec_type,codec_name,width,height:format=format_name,duration",
                              "-of", "json", path});
        if (!ffprobe.waitForFinished(30000) || ffprobe.exitCode() != 0)
            return QJsonObject{{"error", QString::fromLocal8Bit(ffprobe.readAllStandardError())}};
        return QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(start.isValid() && root.isValid() && emptyStart.isValid());
        QVERIFY(QDir().mkpath(start.path() + "/ffmpeg/bin"));
        QVERIFY(QFile::link(TAVELO_FAKE_ENCODER_PATH, start.path() + "/ffmpeg/bin/" + encoderFileName()));
        encoderLog = start.path() + "/runs.log";
        qputenv("TAVELO_FAKE_ENCODER_LOG", encoderLog.toUtf8());
        ClientState::instance()->connected = 0;
        ClientState::instance()->startDir = new QDir(start.path());
        QVERIFY(QDir::setCurrent(root.path()));
        const QString encoder = QStandardPaths::findExecutable("ffmpeg");
        probe = QStandardPaths::findExecutable("ffprobe");
        if (encoder.isEmpty() || probe.isEmpty())
            QFAIL("ffmpeg and ffprobe must be on PATH: install the Debian package ffmpeg.");
        QVERIFY(makeClip(crashRoot.path() + "/raw/Day1/CardA/00001.MTS", clipSeconds));
        QVERIFY(makeClip(crashRoot.path() + "/raw/Day1/CardB/00001.MTS", clipSeconds));

        pidsFile = crashStart.path() + "/encoders.txt";
        const QString script = crashStart.path() + "/ffmpeg/bin/ffmpeg";
        QVERIFY(QDir().mkpath(QFileInfo(script).path()));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\necho \"$$ $PPID\" >> \"$TAVELO_ENCODER_PIDS\"\nexec '" + encoder.toUtf8()
                   + "' -re \"$@\"\n");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

        QSettings settings(crashHome.path() + "/config/Corvanest/Tavelo Client.conf", QSettings::IniFormat);
        settings.setValue("Connection/rootpath", crashRoot.path());
    }

    void windowRows_data()
    {
        QTest::addColumn<int>("connected");
        QTest::addColumn<QStringList>("expected");
        const QStringList common{
            " | QCheckBox \"720p MP4 6 Mb\"",
            " | QCheckBox \"720p DNX-HD 60 Mb\"",
            " | QCheckBox \"1080p DNX-HD 36 Mb\"",
            " | QCheckBox \"480p DV 25 Mb\"",
            " | QPushButton \"Begin...\"",
            " | QPushButton \"Cancel\"",
            "Current File:  | QLabel currentFileLabel",
            "Current File:  | QLabel jobNumberLabel",
            "Total Files:  | QLabel totalFilesLabel",
            " | QTextEdit logEdit",
        };
        QTest::newRow("offline: ten rows") << 0 << common;
        QTest::newRow("online: the condition field first")
            << 1 << (QStringList{"SQL condition, for experts | QLineEdit conditionEdit"} + common);
    }

    void windowRows()
    {
        QFETCH(int, connected);
        QFETCH(QStringList, expected);
        ClientState::instance()->connected = connected;
        auto *window = new TranscodeDialog; // never deleted: that ends the process
        QVERIFY(window->isVisible());
        // The fixed rows come first; the queue's progress, job list and
        // message line follow below them.
        const QStringList actual = rows(window);
        QCOMPARE(actual.mid(0, expected.size()), expected);
        QCOMPARE(actual.mid(expected.size()),
                 (QStringList{"Progress of this job:  | QProgressBar progressBar", " | QTreeView jobView",
                              " | QLabel messageLabel"}));
        QVERIFY(window->windowTitle().isEmpty());
        for (QCheckBox *box : window->findChildren<QCheckBox *>())
            QVERIFY2(!box->isChecked(), qPrintable(box->text()));
        QVERIFY(window->findChild<QTextEdit *>("logEdit")->isReadOnly());
        if (connected) {
            QVERIFY(window->findChild<QLineEdit *>("conditionEdit")->text().isEmpty());
        } else {
            QVERIFY(!window->findChild<QLineEdit *>("conditionEdit"));
        }
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(QFileInfo::exists(saveScreenshot(window, connected ? "transcode-online" : "transcode-offline")));
        window->hide();
    }

    void findEncoder_data()
    {
        QTest::addColumn<bool>("bundled");
        QTest::addColumn<bool>("bundledExecutable");
        QTest::addColumn<bool>("onPath");
        QTest::addColumn<QString>("expected"); // "bundled", "path" or ""
        QTest::newRow("start directory's ffmpeg/bin first") << true << true << true << "bundled";
        QTest::newRow("a bundled file that cannot run is passed over") << true << false << true << "path";
        QTest::newRow("then PATH") << false << false << true << "path";
        QTest::newRow("nowhere") << false << false << false << "";
    }

    void findEncoder()
    {
        QFETCH(bool, bundled);
        QFETCH(bool, bundledExecutable);
        QFETCH(bool, onPath);
        QFETCH(QString, expected);

        QTemporaryDir start;
        QTemporaryDir pathDir;
        const auto executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        auto makeProgram = [](const QString &path, QFileDevice::Permissions permissions) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\nexit 0\n");
            file.close();
            QFile::setPermissions(path, permissions);
        };
        const QString bundledPath = start.path() + "/ffmpeg/bin/" + encoderFileName();
        const QString pathProgram = pathDir.path() + "/ffmpeg";
        if (bundled)
            makeProgram(bundledPath, bundledExecutable ? executable : QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (onPath)
            makeProgram(pathProgram, executable);

        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", pathDir.path().toLocal8Bit());
        const EncoderLocation location = ::findEncoder(QDir(start.path()));
        qputenv("PATH", savedPath);

        if (expected == "bundled")
            QCOMPARE(location.program, bundledPath);
        else if (expected == "path")
            QCOMPARE(location.program, pathProgram);
        else
            QVERIFY(!location.found());
        if (!location.found()) {
            const QString text = location.describe();
            QVERIFY2(text.contains(QDir::toNativeSeparators(start.path() + "/ffmpeg/bin")), qPrintable(text));
            QVERIFY2(text.contains("PATH"), qPrintable(text));
        }
    }

    void init()
    {
        QDir(root.path() + "/raw").removeRecursively();
        QDir(root.path() + "/transcode").removeRecursively();
        QFile::remove(encoderLog);
        qputenv("TAVELO_FAKE_ENCODER", "ok");
        ClientState::instance()->connected = 0;
        ClientState::instance()->startDir = new QDir(start.path());
    }

    void allPresetsOneRun()
    {
        createFile("raw/Wedding/CardA/CLIP7.MTS");
        createFile("raw/Day1/CardA/00001.MTS");
        createFile("raw/Day1/CardB/00001.MTS");   // the same number on the next card
        createFile("raw/CLIP9.MTS");
        createFile("raw/Wedding/CardA/CLIP7.mts");
        createFile("raw/Wedding/CardA/CLIP7.MTS.bak");
        createFile("raw/Wedding/A.B.MTS");
        createFile(out("720p/MP4/raw/CLIP9.MTS/CLIP9.mov"), "from an earlier run");

        Window window = open();
        for (const char *name : {"mp4Box", "dnx60Box", "dnx36Box", "dvBox"})
            window.box(name)->setChecked(true);
        QVERIFY(run(window));

        // Each clip's jobs run together, in the order of the boxes, clips in
        // path order; the second card's 00001.MTS gets outputs of its own.
        const QList<QStringList> runs = encoderRuns();
        QCOMPARE(runs.size(), 4 + 4 + 4 + 3);
        QStringList sources;
        for (const QStringList &arguments : runs) {
            if (sources.isEmpty() || sources.last() != arguments.value(1))
                sources << arguments.value(1);
        }
        QCOMPARE(sources, (QStringList{"raw/CLIP9.MTS", "raw/Day1/CardA/00001.MTS", "raw/Day1/CardB/00001.MTS",
                                       "raw/Wedding/CardA/CLIP7.MTS"}));
        for (const QString &source : sources) {
            QStringList outputs;
            for (const QStringList &arguments : runs) {
                if (arguments.value(1) == source)
                    outputs << arguments.last().mid(root.path().size());
            }
            const QString sub = source == "raw/CLIP9.MTS" ? "raw/CLIP9.MTS/" : source.section('/', 0, 1) + "/";
            QString base = QFileInfo(source).fileName().section('.', 0, 0);
            if (source == "raw/Day1/CardB/00001.MTS")
                base += "_CardB";
            QStringList expected;
            if (source != "raw/CLIP9.MTS")
                expected << "/transcode/720p/MP4/" + sub + base + ".mov";
            expected << "/transcode/1280x720/DNX60/" + sub + base + ".mov"
                     << "/transcode/1920x1080/DNX36/" + sub + base + ".mov"
                     << "/transcode/720x480/DV25/" + sub + base + ".dv";
            QCOMPARE(outputs, expected);
        }
        // The clip's four jobs as the encoder received them, each writing a
        // temporary name beside its output.
        QList<QStringList> clip7;
        for (const QString &line : QString::fromUtf8(readFile(encoderLog)).split('\n', Qt::SkipEmptyParts)) {
            if (line.split('\t').value(2) == "raw/Wedding/CardA/CLIP7.MTS")
                clip7 << line.split('\t').mid(1);
        }
        const QString w = root.path() + "/transcode/";
        auto partial = [](const QString &output) { return PartialFile::pathFor(output); };
        QCOMPARE(clip7, (QList<QStringList>{
            QString("-i raw/Wedding/CardA/CLIP7.MTS -acodec libmp3lame -b 6000k -s 1280x720 -vcodec mpeg4 -r 23.976 "
                    "-f mov " + partial(w + "720p/MP4/raw/Wedding/CLIP7.mov")).split(' '),
            QString("-i raw/Wedding/CardA/CLIP7.MTS -acodec pcm_s16le -b 60M -s 1280x720 -vcodec dnxhd -r 23.976 "
                    "-f mov " + partial(w + "1280x720/DNX60/raw/Wedding/CLIP7.mov")).split(' '),
            QString("-i raw/Wedding/CardA/CLIP7.MTS -acodec pcm_s16le -b 36M -s 1920x1080 -vcodec dnxhd -r 23.976 "
                    "-f mov " + partial(w + "1920x1080/DNX36/raw/Wedding/CLIP7.mov")).split(' '),
            QString("-i raw/Wedding/CardA/CLIP7.MTS -target ntsc-dv -aspect 16:9 "
                    + partial(w + "720x480/DV25/raw/Wedding/CLIP7.dv")).split(' ')}));
        for (const QStringList &arguments : runs)
            QCOMPARE(arguments.size(), arguments.contains("-target") ? 7 : 15);

        QCOMPARE(readFile(out("720p/MP4/raw/CLIP9.MTS/CLIP9.mov")), QByteArray("from an earlier run"));
        QCOMPARE(readFile(out("720x480/DV25/raw/Wedding/CLIP7.dv")), QByteArray("encoded"));
        QCOMPARE(readFile(out("720x480/DV25/raw/Day1/00001_CardB.dv")), QByteArray("encoded"));
        QCOMPARE(partialsBelow(root.path() + "/transcode"), QStringList());
        QCOMPARE(window.label("totalFilesLabel")->text(), "4");
        QCOMPARE(window.label("jobNumberLabel")->text(), "job 15 of 15");
        QCOMPARE(window.dialog->findChild<QProgressBar *>("progressBar")->value(), 100);
        QCOMPARE(window.jobs()->count(JobListModel::Done), 15);
        QCOMPARE(window.jobs()->count(JobListModel::Skipped), 1);
        QCOMPARE(window.stateOf("raw/Day1/CardB/00001.MTS", PresetName::dv), "done");
        QCOMPARE(window.stateOf("raw/CLIP9.MTS", PresetName::mp4), "skipped: the output exists");
        // The job list says which clip got which name, and why.
        const int row = window.rowOf("raw/Day1/CardB/00001.MTS", PresetName::dv);
        QCOMPARE(window.jobs()->index(row, JobListModel::OutputColumn).data().toString(),
                 QDir::toNativeSeparators(out("720x480/DV25/raw/Day1/00001_CardB.dv")));
        QCOMPARE(window.jobs()->index(row, JobListModel::NoteColumn).data().toString(),
                 "named apart: raw/Day1/CardA/00001.MTS has 00001.dv");

        // So does the log.
        QVERIFY2(window.logLines->contains(
                     "Named apart for raw/Day1/CardB/00001.MTS, since raw/Day1/CardA/00001.MTS has its usual names: "
                     + QStringList{out("720p/MP4/raw/Day1/00001_CardB.mov"), out("1280x720/DNX60/raw/Day1/00001_CardB.mov"),
                                   out("1920x1080/DNX36/raw/Day1/00001_CardB.mov"), out("720x480/DV25/raw/Day1/00001_CardB.dv")}
                           .join(", ")),
                 qPrintable(QStringList(window.logLines->values()).join('\n')));
        QVERIFY(window.logLines->contains("Skipped for raw/CLIP9.MTS, the output exists: "
                                         + out("720p/MP4/raw/CLIP9.MTS/CLIP9.mov")));
        QVERIFY(window.logLines->contains("No name map says which clip made " + out("720p/MP4/raw/CLIP9.MTS/CLIP9.mov")
                                         + "; taken as done for raw/CLIP9.MTS, whose layout name it has"));
        // Each tree's map records the clip of every name it gave.
        OutputNameMap map(out("720x480/DV25"));
        QVERIFY(map.load());
        QCOMPARE(map.size(), 4);
        QCOMPARE(map.clipOf("raw/Day1/00001.dv"), "raw/Day1/CardA/00001.MTS");
        QCOMPARE(map.clipOf("raw/Day1/00001_CardB.dv"), "raw/Day1/CardB/00001.MTS");

        QVERIFY(QFileInfo::exists(saveScreenshot(window.dialog, "transcode-after-run")));

        // A second run finds every output and runs nothing; it counts its
        // own clips, and no clip is being encoded.
        QFile::remove(encoderLog);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 0);
        QCOMPARE(window.label("totalFilesLabel")->text(), "4");
        QCOMPARE(window.label("currentFileLabel")->text(), QString());
        QCOMPARE(window.jobs()->count(JobListModel::Skipped), 16);
        window.dialog->hide();
    }

    void aNameOnceGivenStaysWithItsClip()
    {
        createFile("raw/Day1/CardA/00001.MTS");
        createFile("raw/Day1/CardB/00001.MTS");
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        QVERIFY(run(window));
        QVERIFY(QFileInfo::exists(out("720p/MP4/raw/Day1/00001.mov")));
        QVERIFY(QFileInfo::exists(out("720p/MP4/raw/Day1/00001_CardB.mov")));

        // Card A is put away and its proxy deleted; card B's output keeps
        // its name and is not taken for card A's.
        QDir(root.path() + "/raw/Day1/CardA").removeRecursively();
        QFile::remove(out("720p/MP4/raw/Day1/00001.mov"));
        QFile::remove(out("720p/MP4/raw/Day1/00001_CardB.mov"));
        QFile::remove(encoderLog);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 1);
        QCOMPARE(encoderRuns().first().last(), out("720p/MP4/raw/Day1/00001_CardB.mov"));
        QVERIFY(!QFileInfo::exists(out("720p/MP4/raw/Day1/00001.mov")));

        // A card that comes back later gets its old name again.
        createFile("raw/Day1/CardA/00001.MTS");
        QFile::remove(encoderLog);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 1);
        QCOMPARE(encoderRuns().first(), (QStringList{"-i", "raw/Day1/CardA/00001.MTS", "-acodec", "libmp3lame", "-b",
                                                     "6000k", "-s", "1280x720", "-vcodec", "mpeg4", "-r", "23.976",
                                                     "-f", "mov", out("720p/MP4/raw/Day1/00001.mov")}));
        window.dialog->hide();
    }

    void aLeftoverTemporaryFileIsRemovedAndRedone()
    {
        createFile("raw/A/x.MTS");
        createFile("raw/A/y.MTS");
        // A process of this machine that is gone, one that still runs, and
        // another machine on a shared disk.
        QProcess gone;
        gone.start("true", QStringList());
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished());
        const QString host = PartialFile::hostTag();
        const QString dead = PartialFile::pathFor(out("720p/MP4/raw/A/x.mov"), host, deadPid);
        const QString running = PartialFile::pathFor(out("720p/MP4/raw/A/y.mov"), host, 1);
        const QString elsewhere = PartialFile::pathFor(out("720p/MP4/raw/A/y.mov"), "other-" + host, deadPid);
        createFile(dead, "half a file");
        createFile(running, "being written");
        createFile(elsewhere, "being written");

        Window window = open();
        window.box("mp4Box")->setChecked(true);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 2);
        QCOMPARE(readFile(out("720p/MP4/raw/A/x.mov")), QByteArray("encoded"));
        QCOMPARE(readFile(out("720p/MP4/raw/A/y.mov")), QByteArray("encoded"));
        QVERIFY(!QFileInfo::exists(dead));
        QCOMPARE(readFile(running), QByteArray("being written"));
        QCOMPARE(readFile(elsewhere), QByteArray("being written"));
        const QString lines = QStringList(window.logLines->values()).join('\n');
        QVERIFY2(window.logLines->contains(
                     QStringLiteral("Removed %1: left by process %2 of this machine, which is no longer running.")
                         .arg(dead).arg(deadPid)),
                 qPrintable(lines));
        QVERIFY2(lines.contains("Left alone " + running + ": process 1 of this machine still runs"), qPrintable(lines));
        QVERIFY2(lines.contains("Left alone " + elsewhere + ": written on the machine other-" + host), qPrintable(lines));
        const int row = window.rowOf("raw/A/x.MTS", PresetName::mp4);
        QCOMPARE(window.jobs()->index(row, JobListModel::NoteColumn).data().toString(),
                 "removed " + QFileInfo(dead).fileName() + ", left by a run that did not finish");
        window.dialog->hide();
    }

    void onlyDv()
    {
        createFile("raw/Wedding/CardA/CLIP7.MTS");
        Window window = open();
        window.box("dvBox")->setChecked(true);
        QVERIFY(run(window));
        const QList<QStringList> runs = encoderRuns();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs.first(), (QStringList{"-i", "raw/Wedding/CardA/CLIP7.MTS", "-target", "ntsc-dv", "-aspect",
                                            "16:9", out("720x480/DV25/raw/Wedding/CLIP7.dv")}));
        QCOMPARE(QDir(root.path() + "/transcode").entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"720x480"});
        window.dialog->hide();
    }

    // The scan takes its clips by the sync's rule: what is named like a clip
    // but cannot be one is said in the log and never handed to the encoder
    // (a FIFO would block it; a line break would split a log or map line).
    void oddEntriesAreReportedNotEncoded()
    {
        createFile("raw/A/good.MTS");
        QVERIFY(QDir().mkpath(root.path() + "/raw/A/folder.MTS"));
        QVERIFY(mkfifo(QFile::encodeName(root.path() + "/fifo").constData(), 0600) == 0);
        QVERIFY(QFile::link(root.path() + "/fifo", root.path() + "/raw/A/pipe.MTS"));
        createFile("raw/A/two\nlines.MTS");
        // A name in the camera's 8-bit encoding, not UTF-8.
        {
            const QByteArray path = QFile::encodeName(root.path()) + "/raw/A/caf\xe9.MTS";
            FILE *file = std::fopen(path.constData(), "wb");
            QVERIFY(file);
            std::fclose(file);
        }
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        QVERIFY(run(window));
        QFile::remove(root.path() + "/fifo");
        // Removed by its bytes: a QString cannot name it.
        QCOMPARE(std::remove((QFile::encodeName(root.path()) + "/raw/A/caf\xe9.MTS").constData()), 0);
        const QList<QStringList> runs = encoderRuns();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs.first().at(1), QStringLiteral("raw/A/good.MTS"));
        // After the run the log still says what the scan left out, above
        // the encoder's output.
        const QStringList log = window.log()->toPlainText().split('\n');
        QCOMPARE(log.filter(QRegularExpression("^Skipped ")).size(), 3);
        QVERIFY2(log.at(0).startsWith("Skipped raw/A/") && log.at(1).startsWith("Skipped raw/A/")
                     && log.at(2).startsWith("Skipped raw/A/"),
                 qPrintable(log.join('\n')));
        QVERIFY2(log.filter("Skipped raw/A/pipe.MTS: ").size() == 1, qPrintable(log.join('\n')));
        QVERIFY2(log.filter("Skipped raw/A/two").size() == 1, qPrintable(log.join('\n')));
        QVERIFY2(log.filter("its name is not valid UTF-8").size() == 1, qPrintable(log.join('\n')));
        QVERIFY2(log.filter("Encoding raw/A/good.MTS into ").size() == 1, qPrintable(log.join('\n')));
        QVERIFY2(!log.join('\n').contains("folder.MTS"), qPrintable(log.join('\n')));
        window.dialog->hide();
    }

    void existingOutputsSuppressTheirJobsOnly()
    {
        createFile("raw/Wedding/CardA/CLIP7.MTS");
        createFile(out("1920x1080/DNX36/raw/Wedding/CLIP7.mov"), "old");
        Window window = open();
        window.box("dnx60Box")->setChecked(true);
        window.box("dnx36Box")->setChecked(true);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 1);
        QCOMPARE(encoderRuns().first().last(), out("1280x720/DNX60/raw/Wedding/CLIP7.mov"));
        QCOMPARE(window.states(), (QStringList{"raw/Wedding/CardA/CLIP7.MTS 720p DNX-HD 60 Mb: done",
                                               "raw/Wedding/CardA/CLIP7.MTS 1080p DNX-HD 36 Mb: skipped: the output exists"}));
        QCOMPARE(readFile(out("1920x1080/DNX36/raw/Wedding/CLIP7.mov")), QByteArray("old"));
        window.dialog->hide();
    }

    void noBoxTicked()
    {
        createFile("raw/Wedding/CardA/CLIP7.MTS");
        Window window = open();
        window.log()->setPlainText("earlier output");
        // The run does not start, and the message line says why.
        window.button("beginButton")->click();
        QVERIFY(window.button("beginButton")->isEnabled());
        QCOMPARE(window.label("messageLabel")->text(),
                 "No preset is ticked, so nothing was started. Tick at least one preset and press \"Begin...\" again.");
        QVERIFY(!window.label("messageLabel")->isHidden());
        QVERIFY(window.label("totalFilesLabel")->text().isEmpty());
        QVERIFY(window.label("currentFileLabel")->text().isEmpty());
        QCOMPARE(window.jobs()->rowCount(), 0);
        QCOMPARE(encoderRuns().size(), 0);
        QCOMPARE(window.log()->toPlainText(), "earlier output");
        QVERIFY(!QFileInfo::exists(root.path() + "/transcode"));

        // Ticked, it runs; without raw/ there is nothing to walk, and the
        // window says so.
        window.box("mp4Box")->setChecked(true);
        QDir(root.path() + "/raw").removeRecursively();
        QVERIFY(run(window));
        QVERIFY(window.label("totalFilesLabel")->text().isEmpty());
        QVERIFY2(window.label("messageLabel")->text().startsWith("There is no folder \"raw\" in the local root"),
                 qPrintable(window.label("messageLabel")->text()));
        window.dialog->hide();
    }

    void aLongScanListsItsFirstNotesAndCountsTheRest()
    {
        // 150 clips whose outputs exist, made by hand: two notes each.
        for (int i = 0; i < 150; ++i) {
            createFile(QStringLiteral("raw/A/c%1.MTS").arg(i, 3, 10, QLatin1Char('0')));
            createFile(out(QStringLiteral("720p/MP4/raw/A/c%1.mov").arg(i, 3, 10, QLatin1Char('0'))), "by hand");
        }
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 0);
        QCOMPARE(window.jobs()->count(JobListModel::Skipped), 150);
        const QStringList lines = window.log()->toPlainText().split('\n');
        QCOMPARE(lines.size(), 201);
        QCOMPARE(lines.first(), "Skipped for raw/A/c000.MTS, the output exists: " + out("720p/MP4/raw/A/c000.mov"));
        QCOMPARE(lines.last(), "... and 100 more lines like these; the job list shows every job's state and note.");
        window.dialog->hide();
    }

    // Regression: "Current File" showed the last clip the scan found while
    // the first job was encoded, and "Total Files" added up over the runs
    // of one window (7, 14, 38).
    void theRowsSpeakOfTheJobAndTheRun()
    {
        createFile("raw/A/x.MTS");
        createFile("raw/B/y.MTS");
        createFile("raw/C/z.MTS");
        createFile(out("720p/MP4/raw/C/z.mov"), "done before");
        qputenv("TAVELO_FAKE_ENCODER", "slow");
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        QStringList shown;   // "Current File" while each job's encoder runs
        QLabel *current = window.label("currentFileLabel");
        connect(window.dialog->findChild<QProcess *>(), &QProcess::started, current, [&]() {
            for (int row = 0; row < window.jobs()->rowCount(); ++row) {
                if (window.jobs()->entry(row).state == JobListModel::Running)
                    shown << window.jobs()->entry(row).job.source + " shown as " + current->text() + " with "
                            + window.label("jobNumberLabel")->text();
            }
        });
        QVERIFY(run(window));
        QCOMPARE(shown, (QStringList{"raw/A/x.MTS shown as raw/A/x.MTS with job 1 of 2",
                                     "raw/B/y.MTS shown as raw/B/y.MTS with job 2 of 2"}));
        QCOMPARE(window.label("totalFilesLabel")->text(), "3");
        QCOMPARE(current->text(), "raw/B/y.MTS");

        // The next run counts again from nothing.
        QFile::remove(out("720p/MP4/raw/A/x.mov"));
        shown.clear();
        QVERIFY(run(window));
        QCOMPARE(shown, QStringList{"raw/A/x.MTS shown as raw/A/x.MTS with job 1 of 1"});
        QCOMPARE(window.label("totalFilesLabel")->text(), "3");
        // The bar says it follows one job.
        QVERIFY(rows(window.dialog).contains("Progress of this job:  | QProgressBar progressBar"));
        window.dialog->hide();
    }

    // Regression: a map line whose name had a million characters hung the
    // window for minutes when its job started, laying out the log line
    // that named the output. Such a line is damaged and its name never
    // used; and whatever the encoder writes, no line of the log is laid
    // out longer than a bound, and says it was cut.
    void aMillionCharacterLineNeitherHangsNorNamesAnOutput()
    {
        createFile("raw/Day1/CardA/00002.MTS");
        const QString tree = out("1920x1080/DNX36");
        createFile(tree + "/" + OutputNameMap::fileName(),
                   "# Tavelo output names 1\nraw/Day1/" + QByteArray(1000000, 'x')
                       + ".mov\traw/Day1/CardA/00002.MTS\n");
        // An encoder that writes one line of a million characters.
        QTemporaryDir talkative;
        const QString program = talkative.path() + "/ffmpeg/bin/ffmpeg";
        createFile(program, "#!/bin/sh\nhead -c 1000000 /dev/zero | tr '\\0' x >&2\necho >&2\n"
                            "for a; do last=$a; done\nprintf encoded > \"$last\"\n");
        QVERIFY(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        ClientState::instance()->startDir = new QDir(talkative.path());

        Window window = open();
        window.box("dnx36Box")->setChecked(true);
        QVERIFY(run(window, 60000));
        QCOMPARE(window.jobs()->count(JobListModel::Done), 1);
        QCOMPARE(readFile(tree + "/raw/Day1/00002.mov"), QByteArray("encoded"));
        QVERIFY(window.logLines->contains(
            "1 line(s) of the name map " + tree + "/" + OutputNameMap::fileName()
            + " are damaged (not of its form, or a name longer than a file system allows) and were left out"));
        bool cut = false;
        for (const QString &line : std::as_const(*window.logLines)) {
            QVERIFY2(line.size() <= 4100, qPrintable(line.left(100)));
            cut = cut || line.endsWith(" ... [cut here: 996000 more characters not shown]");
        }
        QVERIFY(cut);
        window.dialog->hide();
    }

    void aFailedJobIsShownAndTheQueueGoesOn()
    {
        createFile("raw/A/x.MTS");
        createFile("raw/B/y.MTS");
        createFile("raw/C/z.MTS");
        qputenv("TAVELO_FAKE_ENCODER", "fail@/raw/A/,crash@/raw/B/,nooutput@/raw/C/,ok");
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        window.box("dvBox")->setChecked(true);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 6);
        QCOMPARE(window.stateOf("raw/C/z.MTS", PresetName::mp4),
                 "failed: the encoder ended without writing " + out("720p/MP4/raw/C/z.mov"));
        QCOMPARE(window.stateOf("raw/A/x.MTS", PresetName::mp4),
                 "failed: exit code 1, its partial output was removed");
        QCOMPARE(window.stateOf("raw/B/y.MTS", PresetName::dv), "failed: the encoder crashed, its partial output was removed");
        // The failed jobs leave nothing that a later run would take as done.
        QVERIFY(!QFileInfo::exists(out("720p/MP4/raw/A/x.mov")));
        QVERIFY(!QFileInfo::exists(out("720x480/DV25/raw/B/y.dv")));
        QCOMPARE(window.label("messageLabel")->text(), "6 of 6 jobs failed; the job list shows why.");
        // The reason and the end of the encoder's output stay in the row.
        const int row = window.rowOf("raw/A/x.MTS", PresetName::mp4);
        const QString tip = window.jobs()->data(window.jobs()->index(row, JobListModel::StateColumn), Qt::ToolTipRole).toString();
        QVERIFY2(tip.startsWith("failed: exit code 1") && tip.endsWith("Conversion failed!"), qPrintable(tip));

        // The next run does them again, and now they work.
        qputenv("TAVELO_FAKE_ENCODER", "ok");
        QFile::remove(encoderLog);
        QVERIFY(run(window));
        QCOMPARE(encoderRuns().size(), 6);
        QCOMPARE(window.jobs()->count(JobListModel::Done), 6);
        QVERIFY(window.label("messageLabel")->isHidden());
        window.dialog->hide();
    }

    void anOutputThatAppearsBeforeItsJobIsLeftAlone()
    {
        createFile("raw/A/x.MTS");
        qputenv("TAVELO_FAKE_ENCODER", "slow");
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        window.box("dnx60Box")->setChecked(true);
        window.button("beginButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(encoderLog), 10000);
        createFile(out("1280x720/DNX60/raw/A/x.mov"), "someone else's");
        QTRY_VERIFY_WITH_TIMEOUT(window.button("beginButton")->isEnabled(), 20000);
        QCOMPARE(encoderRuns().size(), 1);
        QCOMPARE(window.stateOf("raw/A/x.MTS", PresetName::dnx60), "done: the output already existed, not run");
        QCOMPARE(readFile(out("1280x720/DNX60/raw/A/x.mov")), QByteArray("someone else's"));
        window.dialog->hide();
    }

    void beginIsOffWhileAJobRuns()
    {
        createFile("raw/A/x.MTS");
        createFile("raw/A/y.MTS");
        qputenv("TAVELO_FAKE_ENCODER", "slow");
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        QPushButton *begin = window.button("beginButton");
        begin->click();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(encoderLog), 10000);
        QVERIFY(!begin->isEnabled());
        // Even a call that gets through does not take a job off the queue.
        QMetaObject::invokeMethod(window.dialog, "start");
        QTRY_VERIFY_WITH_TIMEOUT(begin->isEnabled(), 20000);
        QCOMPARE(encoderRuns().size(), 2);
        QCOMPARE(window.jobs()->count(JobListModel::Done), 2);
        QCOMPARE(window.label("totalFilesLabel")->text(), "2");
        window.dialog->hide();
    }

    void progressAndLog()
    {
        createFile("raw/A/x.MTS");
        qputenv("TAVELO_FAKE_ENCODER", "utf8@DV25,ok");
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        window.box("dvBox")->setChecked(true);
        QList<int> values;
        auto *bar = window.dialog->findChild<QProgressBar *>("progressBar");
        connect(bar, &QProgressBar::valueChanged, bar, [&values](int value) { values << value; });
        QVERIFY(run(window));
        // The first job's progress, then the second starts again at 0.
        const int restart = int(values.indexOf(0));
        QVERIFY2(restart > 0 && values.at(restart - 1) == 100, qPrintable(QDebug::toString(values)));
        QVERIFY(std::is_sorted(values.begin(), values.begin() + restart));
        // The log holds the last job's output, as plain UTF-8 text, after
        // the line that says where the job writes.
        const QString text = window.log()->toPlainText();
        QCOMPARE(text, "Encoding raw/A/x.MTS into " + PartialFile::pathFor(out("720x480/DV25/raw/A/x.dv"))
                           + "; it takes the name " + out("720x480/DV25/raw/A/x.dv")
                           + " only when the encoder succeeds.\n"
                           + QString::fromUtf8("Input #0, mpegts, from 'raw/Caf\xc3\xa9/\xd0\xba\xd0\xbb\xd0\xb8\xd0\xbf.MTS':\n"
                                               "<b>not bold</b> & <i>not italic</i>"));
        // Progress lines of the first job replaced each other.
        QVERIFY(window.logLines->contains("frame=   37 fps=0.0 q=2.0 size=     256kB time=00:00:01.50 bitrate=1000.0kbits/s speed=1x    "));
        window.dialog->hide();
    }

    void missingEncoder()
    {
        createFile("raw/A/x.MTS");
        createFile("raw/A/y.MTS");
        QTemporaryDir emptyPath;
        ClientState::instance()->startDir = new QDir(emptyStart.path());
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", emptyPath.path().toLocal8Bit());
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        const bool ended = run(window, 10000);
        qputenv("PATH", savedPath);
        QVERIFY(ended);
        const QString message = window.label("messageLabel")->text();
        QVERIFY2(message.contains(QDir::toNativeSeparators(emptyStart.path() + "/ffmpeg/bin")), qPrintable(message));
        QVERIFY2(message.contains("PATH"), qPrintable(message));
        QVERIFY(window.label("messageLabel")->isVisible() || window.dialog->isHidden());
        QCOMPARE(window.jobs()->count(JobListModel::Failed), 2);
        QCOMPARE(window.stateOf("raw/A/x.MTS", PresetName::mp4), "failed: not run, the encoder was not found");
        // The scan made the output folders all the same.
        QVERIFY(QFileInfo(out("720p/MP4/raw/A")).isDir());
        window.dialog->hide();
    }

    void unstartableEncoder()
    {
        createFile("raw/A/x.MTS");
        createFile("raw/A/y.MTS");
        // Found, marked executable, but not a program the system can start.
        QTemporaryDir broken;
        const QString program = broken.path() + "/ffmpeg/bin/" + encoderFileName();
        createFile(program, "not a program");
        QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        ClientState::instance()->startDir = new QDir(broken.path());
        Window window = open();
        window.box("mp4Box")->setChecked(true);
        QVERIFY(run(window, 10000));
        QVERIFY2(window.label("messageLabel")->text().startsWith("The encoder " + QDir::toNativeSeparators(program)
                                                                  + " could not be started"),
                 qPrintable(window.label("messageLabel")->text()));
        QCOMPARE(window.jobs()->count(JobListModel::Failed), 2);
        QVERIFY(window.states().filter("not run, the encoder could not be started").size() == 1);
        window.dialog->hide();
    }

    void endWhileEncoding_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("lastStep");
        QTest::newRow("Cancel") << "hang" << "click:cancelButton";
        QTest::newRow("window closed") << "hang" << "close";
        QTest::newRow("Cancel, the encoder ignores terminate") << "stubborn" << "click:cancelButton";
    }

    void endWhileEncoding()
    {
        QFETCH(QString, mode);
        QFETCH(QString, lastStep);

        QTemporaryDir home;
        QTemporaryDir start;
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(start.path() + "/ffmpeg/bin"));
        QVERIFY(QFile::link(TAVELO_FAKE_ENCODER_PATH, start.path() + "/ffmpeg/bin/" + encoderFileName()));
        QVERIFY(QDir().mkpath(root.path() + "/raw/A"));
        QFile clip(root.path() + "/raw/A/x.MTS");
        QVERIFY(clip.open(QIODevice::WriteOnly));
        clip.close();
        {
            QSettings settings(home.path() + "/config/Corvanest/Tavelo Client.conf", QSettings::IniFormat);
            settings.setValue("Connection/rootpath", root.path());
        }
        const QString encoderLog = start.path() + "/runs.log";
        const QString wrote = start.path() + "/wrote";
        const QString outputDir = root.path() + "/transcode/720p/MP4/raw/A";

        QProcessEnvironment extra;
        extra.insert("TAVELO_FAKE_ENCODER", mode);
        extra.insert("TAVELO_FAKE_ENCODER_LOG", encoderLog);
        extra.insert("TAVELO_FAKE_ENCODER_WROTE", wrote);
        // The encoder writes a temporary name that holds the client's process
        // id; it says when it has written part of it.
        const ClientRun run = runClient("LoginDialog:click:transcodeButton;TranscodeDialog:click:mp4Box;"
                                        "TranscodeDialog:click:beginButton;TranscodeDialog:waitfile:"
                                            + wrote + ";TranscodeDialog:" + lastStep,
                                        home.path(), start.path(), extra);
        const QString &log = run.log;
        QVERIFY2(run.finished, qPrintable("the client did not end; its output:\n" + log));
        QVERIFY2(!run.crashed, qPrintable(log));
        QVERIFY2(run.exitCode == 0, qPrintable(QStringLiteral("exit code %1\n%2").arg(run.exitCode).arg(log)));
        QVERIFY2(log.contains("driver: step 4 done"), qPrintable(log));
        QVERIFY2(log.contains("TranscodeDialog::stop()"), qPrintable(log));

        // The encoder ended with the client, and took its partial file along.
        QFile runs(encoderLog);
        QVERIFY(runs.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = runs.readAll().split('\n');
        QCOMPARE(lines.size(), 2);   // one run and the final line end
        const pid_t pid = lines.first().split('\t').first().toInt();
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) != 0, 5000);
        QVERIFY(lines.first().endsWith(".partial"));
        QCOMPARE(QDir(outputDir).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void aHardKilledRunLeavesNoFinalNameAndNoEncoder()
    {
        QFuture<ClientRun> client = QtConcurrent::run([this]() {
            return runClient("LoginDialog:click:transcodeButton;TranscodeDialog:click:mp4Box;"
                             "TranscodeDialog:click:beginButton",
                             crashHome.path(), crashStart.path(), environment());
        });
        // Wait until the encoder has written part of card A's output.
        QTRY_VERIFY_WITH_TIMEOUT(encoders().size() == 1, 30000);
        const qint64 encoderPid = encoders().first().first;
        const qint64 clientPid = encoders().first().second;
        const QString partial = PartialFile::pathFor(crashOut("raw/Day1/00001.mov"), PartialFile::hostTag(), clientPid);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0, 20000);
        QVERIFY(PartialFile::processRunning(encoderPid));

        QCOMPARE(::kill(pid_t(clientPid), SIGKILL), 0);
        const ClientRun run = client.result();
        QVERIFY2(run.crashed, qPrintable(run.log));

        // The encoder died with its client, and left no final name behind.
        QTRY_VERIFY_WITH_TIMEOUT(!PartialFile::processRunning(encoderPid), 5000);
        QVERIFY(!QFileInfo::exists(crashOut("raw/Day1/00001.mov")));
        QVERIFY(!QFileInfo::exists(crashOut("raw/Day1/00001_CardB.mov")));
        QCOMPARE(encoders().size(), 1);
        // What it wrote is recognisably partial: ffprobe cannot read it.
        QVERIFY(QFileInfo::exists(partial));
        QVERIFY(probeFile(partial).contains("error"));
        leftover = partial;
    }

    void theNextRunRemovesTheLeftoverAndEncodesBothCards()
    {
        if (leftover.isEmpty())
            QSKIP("needs the leftover of the killed run above");
        QFile::remove(pidsFile);
        const QString cardB = crashOut("raw/Day1/00001_CardB.mov");
        const ClientRun run = runClient("LoginDialog:click:transcodeButton;TranscodeDialog:click:mp4Box;"
                                        "TranscodeDialog:click:beginButton;TranscodeDialog:waitfile:"
                                            + cardB + ";TranscodeDialog:close",
                                        crashHome.path(), crashStart.path(), environment());
        QVERIFY2(run.finished && !run.crashed && run.exitCode == 0, qPrintable(run.log));
        QCOMPARE(encoders().size(), 2);

        QVERIFY(!QFileInfo::exists(leftover));
        QCOMPARE(filesBelow(crashRoot.path() + "/transcode", ".partial"), QStringList());
        // Card A keeps the layout name, card B is named after its card; both
        // are complete files of the clip's whole length.
        for (const QString &output : {crashOut("raw/Day1/00001.mov"), cardB}) {
            const QJsonObject info = probeFile(output);
            QVERIFY2(!info.contains("error"), qPrintable(output + ": " + info.value("error").toString()));
            QCOMPARE(info["format"].toObject()["format_name"].toString(), "mov,mp4,m4a,3gp,3g2,mj2");
            const double duration = info["format"].toObject()["duration"].toString().toDouble();
            QVERIFY2(duration > clipSeconds - 0.5 && duration < clipSeconds + 0.5, qPrintable(QString::number(duration)));
            const QJsonObject video = info["streams"].toArray().at(0).toObject();
            QCOMPARE(video["codec_name"].toString(), "mpeg4");
            QCOMPARE(video["width"].toInt(), 1280);
            QCOMPARE(video["height"].toInt(), 720);
        }
        OutputNameMap map(crashRoot.path() + "/transcode/720p/MP4");
        QVERIFY(map.load());
        QCOMPARE(map.clipOf("raw/Day1/00001.mov"), "raw/Day1/CardA/00001.MTS");
        QCOMPARE(map.clipOf("raw/Day1/00001_CardB.mov"), "raw/Day1/CardB/00001.MTS");
    }
};

QTEST_MAIN(TestTranscodeWindow)
#include "tst_transcodewindow.moc"
