// What `cmake --install` puts on a machine, checked in a staging folder
// (DESTDIR): the files a desktop and a package manager look for, valid for
// the tools that read them, the manual page of tavelo-sync in step with its
// --help, and a tavelo-sync that runs without the widget libraries.

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString desktopId = QStringLiteral(TAVELO_DESKTOP_ID);

struct Run
{
    bool started = false;
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run result;
    result.started = process.waitForStarted();
    if (!result.started) {
        result.err = process.errorString();
        return result;
    }
    if (!process.waitForFinished(120000))
        process.kill();
    process.waitForFinished();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// Installs the build tree (or one component of it) below stage.
Run install(const QString &stage, const QString &component = QString())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DESTDIR", stage);
    QStringList arguments{"--install", TAVELO_BUILD_DIR, "--prefix", "/usr"};
    if (!component.isEmpty())
        arguments << "--component" << component;
    return run(CMAKE_COMMAND_PATH, arguments, environment);
}

// Every file below root, as paths relative to it.
QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

QString describe(const Run &r)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(r.exitCode).arg(r.out, r.err);
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir stage;

    QString staged(const QString &path) const { return stage.path() + "/usr/" + path; }

    // The manual page as man shows it, formatting stripped.
    QString renderedPage(const QString &page)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("MANWIDTH", "80");
        environment.insert("MAN_KEEP_FORMATTING", "");
        const Run r = run("man", {"--warnings", "-l", staged("share/man/man1/" + page)}, environment);
        if (!r.started)
            qWarning("man is missing: install man-db (scripts/test does)");
        if (r.exitCode != 0 || !r.err.isEmpty()) {
            qWarning("%s", qPrintable(describe(r)));
            return QString();
        }
        return r.out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(stage.isValid());
        const Run r = install(stage.path());
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
    }

    void installedFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("executable");

        QTest::newRow("client") << "bin/tavelo-client" << true;
        QTest::newRow("sync") << "bin/tavelo-sync" << true;
        QTest::newRow("desktop entry") << "share/applications/" + desktopId + ".desktop" << false;
        QTest::newRow("scalable icon") << "share/icons/hicolor/scalable/apps/" + desktopId + ".svg" << false;
        QTest::newRow("256 px icon") << "share/icons/hicolor/256x256/apps/" + desktopId + ".png" << false;
        QTest::newRow("metainfo") << "share/metainfo/" + desktopId + ".metainfo.xml" << false;
        QTest::newRow("client manual") << "share/man/man1/tavelo-client.1.gz" << false;
        QTest::newRow("sync manual") << "share/man/man1/tavelo-sync.1.gz" << false;
        QTest::newRow("client copyright") << "share/doc/tavelo-client/copyright" << false;
        QTest::newRow("client changelog") << "share/doc/tavelo-client/changelog.Debian.gz" << false;
        QTest::newRow("sync copyright") << "share/doc/tavelo-sync/copyright" << false;
        QTest::newRow("sync changelog") << "share/doc/tavelo-sync/changelog.Debian.gz" << false;
    }

    void installedFiles()
    {
        QFETCH(QString, path);
        QFETCH(bool, executable);
        const QFileInfo info(staged(path));
        QVERIFY2(info.isFile(), qPrintable(info.filePath() + " was not installed"));
        QVERIFY(info.size() > 0);
        QCOMPARE(info.isExecutable(), executable);
    }

    // Each package gets only its own files: a sync server installs no
    // desktop files, and a workstation with both packages has no file twice.
    void componentContents_data()
    {
        QTest::addColumn<QString>("component");
        QTest::addColumn<QStringList>("files");

        QTest::newRow("client") << "client"
                                << QStringList{"usr/bin/tavelo-client",
                                               "usr/share/applications/" + desktopId + ".desktop",
                                               "usr/share/doc/tavelo-client/changelog.Debian.gz",
                                               "usr/share/doc/tavelo-client/copyright",
                                               "usr/share/icons/hicolor/256x256/apps/" + desktopId + ".png",
                                               "usr/share/icons/hicolor/scalable/apps/" + desktopId + ".svg",
                                               "usr/share/man/man1/tavelo-client.1.gz",
                                               "usr/share/metainfo/" + desktopId + ".metainfo.xml"};
        QTest::newRow("sync") << "sync"
                              << QStringList{"usr/bin/tavelo-sync",
                                             "usr/share/doc/tavelo-sync/changelog.Debian.gz",
                                             "usr/share/doc/tavelo-sync/copyright",
                                             "usr/share/man/man1/tavelo-sync.1.gz"};
    }

    void componentContents()
    {
        QFETCH(QString, component);
        QFETCH(QStringList, files);
        QTemporaryDir part;
        const Run r = install(part.path(), component);
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QCOMPARE(filesBelow(part.path()), files);
    }

    void desktopEntry()
    {
        const QString entry = staged("share/applications/" + desktopId + ".desktop");
        const Run r = run("desktop-file-validate", {entry});
        QVERIFY2(r.started, "desktop-file-validate is missing: install desktop-file-utils (scripts/test does)");
        QVERIFY2(r.exitCode == 0 && r.out.isEmpty() && r.err.isEmpty(), qPrintable(describe(r)));

        // What it starts is installed, and its icon is the one installed.
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QString text = QString::fromUtf8(file.readAll());
        const QRegularExpression exec("^Exec=(\\S+)", QRegularExpression::MultilineOption);
        const QRegularExpression icon("^Icon=(.+)$", QRegularExpression::MultilineOption);
        const QString program = exec.match(text).captured(1);
        QCOMPARE(program, QStringLiteral("tavelo-client"));
        QVERIFY(QFileInfo(staged("bin/" + program)).isExecutable());
        QCOMPARE(icon.match(text).captured(1), desktopId);
    }

    void metainfo()
    {
        const QString path = staged("share/metainfo/" + desktopId + ".metainfo.xml");
        const Run r = run("appstreamcli", {"validate", "--no-net", "--no-color", path});
        QVERIFY2(r.started, "appstreamcli is missing: install appstream (scripts/test does)");
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));

        // Its id and launchable name the desktop entry installed beside it.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QString id;
        QString launchable;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("id"))
                id = xml.readElementText();
            else if (xml.name() == QLatin1String("launchable"))
                launchable = xml.readElementText();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(id, desktopId);
        QCOMPARE(launchable, desktopId + ".desktop");
    }

    void icons()
    {
        const QImage png(staged("share/icons/hicolor/256x256/apps/" + desktopId + ".png"));
        QCOMPARE(png.size(), QSize(256, 256));
        QVERIFY(png.hasAlphaChannel());

        QFile svg(staged("share/icons/hicolor/scalable/apps/" + desktopId + ".svg"));
        QVERIFY(svg.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&svg);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name().toString(), QStringLiteral("svg"));
        QVERIFY(!xml.attributes().value("viewBox").isEmpty());
        while (!xml.atEnd())
            xml.readNext();
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    }

    void manualPages_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QStringList>("sections");

        QTest::newRow("tavelo-sync")
            << "tavelo-sync.1.gz"
            << QStringList{"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "ENVIRONMENT", "EXIT STATUS", "FILES"};
        QTest::newRow("tavelo-client") << "tavelo-client.1.gz" << QStringList{"NAME", "SYNOPSIS", "FILES"};
    }

    void manualPages()
    {
        QFETCH(QString, page);
        QFETCH(QStringList, sections);
        const QString text = renderedPage(page);
        QVERIFY(!text.isEmpty());
        for (const QString &section : sections)
            QVERIFY2(text.contains(QRegularExpression("^" + section + "$", QRegularExpression::MultilineOption)),
                     qPrintable(section + " missing in:\n" + text));
    }

    // The page describes every option the program offers, and the exit
    // statuses and password variable it documents in its --help.
    void syncManualMatchesHelp()
    {
        const QString text = renderedPage("tavelo-sync.1.gz");
        QVERIFY(!text.isEmpty());
        const Run help = run(staged("bin/tavelo-sync"), {"--help"});
        QVERIFY2(help.exitCode == 0, qPrintable(describe(help)));

        QStringList options;
        const QRegularExpression option("(--[a-z][a-z-]+)");
        for (auto it = option.globalMatch(help.out); it.hasNext();)
            options << it.next().captured(1);
        options.removeDuplicates();
        // Added to every help text by the toolkit's parser, not an option of
        // the sync; it must still print the help rather than fail.
        options.removeAll(QStringLiteral("--help-all"));
        const Run helpAll = run(staged("bin/tavelo-sync"), {"--help-all"});
        QVERIFY2(helpAll.exitCode == 0 && helpAll.out.contains("--changed-only"), qPrintable(describe(helpAll)));
        QVERIFY2(options.contains("--project") && options.contains("--help"), qPrintable(help.out));
        for (const QString &name : std::as_const(options))
            QVERIFY2(text.contains(QRegularExpression("^ +(-[a-z], )?" + QRegularExpression::escape(name) + "\\b",
                                                      QRegularExpression::MultilineOption)),
                     qPrintable(name + " is offered by --help but not described under OPTIONS"));

        QVERIFY(help.out.contains("TAVELO_DB_PASSWORD"));
        QVERIFY(text.contains(QRegularExpression("^ +TAVELO_DB_PASSWORD$", QRegularExpression::MultilineOption)));
        for (int status = 0; status <= 3; ++status)
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("^ +%1 +\\S").arg(status),
                                                      QRegularExpression::MultilineOption)),
                     qPrintable(QStringLiteral("exit status %1 not described").arg(status)));
    }

    // The headless sync must run where no widget or GUI library is
    // installed; the client, for contrast, does link them. The sync reads
    // media with FFmpeg's libraries, whose libavutil links libX11 for its
    // hardware decoders: a library it may carry, needing no display.
    void syncNeedsNoWidgets_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("gui");
        QTest::newRow("tavelo-sync") << "bin/tavelo-sync" << false;
        QTest::newRow("tavelo-client") << "bin/tavelo-client" << true;
    }

    void syncNeedsNoWidgets()
    {
        QFETCH(QString, program);
        QFETCH(bool, gui);
        const Run r = run("ldd", {staged(program)});
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QVERIFY2(r.out.contains("libQt6Core.so") && r.out.contains("libQt6Sql.so"), qPrintable(r.out));
        const QRegularExpression guiLibrary("lib(Qt6Widgets|Qt6Gui|Qt6OpenGL|GL|GLX|EGL|wayland-client)[.-]");
        QVERIFY2(r.out.contains(guiLibrary) == gui, qPrintable(r.out));
        for (const char *library : {"libavformat.so", "libavcodec.so", "libswscale.so"})
            QVERIFY2(r.out.contains(QLatin1String(library)), qPrintable(r.out));
    }

    // Without a display, and without a window system to talk to, the sync
    // answers.
    void syncRunsWithoutADisplay()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        const Run r = run(staged("bin/tavelo-sync"), {"--help"}, environment);
        QVERIFY2(r.exitCode == 0 && r.out.contains("--setup-database"), qPrintable(describe(r)));
    }

    // Started as the desktop starts it, the installed client names its
    // desktop entry, so the desktop shows that entry's icon and name, and
    // gives its windows the icon (here the built-in one: the test's data
    // folders hold no icon theme).
    void clientNamesItsDesktopEntry()
    {
        QTemporaryDir home;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("HOME", home.path());
        environment.insert("XDG_CONFIG_HOME", home.path() + "/config");
        environment.insert("XDG_CACHE_HOME", home.path() + "/cache");
        environment.insert("XDG_DATA_DIRS", home.path() + "/share");
        environment.insert("QT_PLUGIN_PATH", TAVELO_DRIVER_PLUGIN_PATH);
        environment.insert("QT_QPA_GENERIC_PLUGINS", "tavelo_driver");
        environment.insert("TAVELO_DRIVE", "LoginDialog:click:cancelButton");
        const Run r = run(staged("bin/tavelo-client"), {}, environment);
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        QVERIFY2(r.err.contains("driver: desktop file name=" + desktopId + " window icon=set\n"), qPrintable(r.err));
        QVERIFY2(r.err.contains("driver: shown LoginDialog"), qPrintable(r.err));
    }

    // Every document that names a version names the one being built.
    void versionsAgree_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("metainfo, newest release")
            << "share/metainfo/" + desktopId + ".metainfo.xml" << "<release version=\"([^\"]+)\"";
        QTest::newRow("tavelo-sync manual") << "share/man/man1/tavelo-sync.1.gz" << "^\\.TH .*\"Tavelo Client (\\S+)\"";
        QTest::newRow("tavelo-client manual") << "share/man/man1/tavelo-client.1.gz" << "^\\.TH .*\"Tavelo Client (\\S+)\"";
    }

    void versionsAgree()
    {
        QFETCH(QString, path);
        QFETCH(QString, pattern);
        const Run r = run("gzip", {"-dcf", staged(path)});
        QVERIFY2(r.exitCode == 0, qPrintable(describe(r)));
        const QRegularExpressionMatch match =
            QRegularExpression(pattern, QRegularExpression::MultilineOption).match(r.out);
        QVERIFY2(match.hasMatch(), qPrintable(pattern + " not found in " + path));
        QCOMPARE(match.captured(1), QStringLiteral(TAVELO_VERSION));
    }

    void packageDocuments()
    {
        for (const QString package : {"tavelo-client", "tavelo-sync"}) {
            const QString doc = staged("share/doc/" + package + "/");
            const Run changelog = run("gzip", {"-dc", doc + "changelog.Debian.gz"});
            QVERIFY2(changelog.exitCode == 0, qPrintable(describe(changelog)));
            // Its first entry is the version the packages are built with.
            QVERIFY2(changelog.out.startsWith("tavelo-client (" TAVELO_PACKAGE_VERSION ") "),
                     qPrintable("the changelog's first entry is not version " TAVELO_PACKAGE_VERSION ":\n"
                                + changelog.out.section('\n', 0, 0)));
            QVERIFY(changelog.out.contains(QRegularExpression("^ -- .+ <[^@ ]+@[^> ]+>  \\S",
                                                              QRegularExpression::MultilineOption)));

            QFile copyright(doc + "copyright");
            QVERIFY(copyright.open(QIODevice::ReadOnly));
            const QString text = QString::fromUtf8(copyright.readAll());
            QVERIFY(text.startsWith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"));
            QVERIFY(text.contains(QRegularExpression("^Copyright: .*Corvanest$", QRegularExpression::MultilineOption)));
        }
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
