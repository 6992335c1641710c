// Media at sync against the real server and real clips: facts and posters
// stored once per content and read back with the statements the grid will
// use, no reading again on a re-sync, a copy or --changed-only, --no-media,
// the optional tables missing (said once, in the summary and the chooser),
// tavelo-sync --setup-database, and the grid's poster fetcher on a
// connection and thread of its own.

#include "app/clientstate.h"
#include "cameraclip.h"
#include "db/dbworker.h"
#include "db/mediastatements.h"
#include "db/statementrunner.h"
#include "db/statements.h"
#include "media/mediafacts.h"
#include "media/mediatables.h"
#include "media/posterfetcher.h"
#include "projects/populatedb.h"
#include "projects/projectselector.h"
#include "projects/syncengine.h"
#include "shots/posterpictures.h"
#include "testsupport.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool copyInto(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    return QFile::copy(from, to);
}

QStringList threadWarnings;
QtMessageHandler previousHandler = nullptr;
void watchForeignThreads(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains("does not belong to the calling thread"))
        threadWarnings << message;
    previousHandler(type, context, message);
}

} // namespace

class TestMediaSync : public QObject
{
    Q_OBJECT

private:
    QSqlDatabase db;
    QSqlDatabase check;
    int project = 0;
    int otherProject = 0;
    QTemporaryDir clips;   // made once for every test
    QString westClip;      // 1080i with the camera's message, UTC-05:00
    QString plainClip;     // 720p without it
    QScopedPointer<QTemporaryDir> rootDir;
    QString root;

    int rows(const char *table)
    {
        QSqlQuery query(check);
        return query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(QLatin1String(table))) && query.next()
            ? query.value(0).toInt()
            : -1;
    }

    QString syncTool(const QStringList &arguments, int &exitCode, QString *errors = nullptr,
                     const QString &password = TestDb::password())
    {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TAVELO_DB_PASSWORD", password);
        environment.insert("XDG_CONFIG_HOME", rootDir->path() + "/config");
        tool.setProcessEnvironment(environment);
        tool.start(TAVELO_SYNC_PATH, arguments);
        if (!tool.waitForFinished(120000)) {
            tool.kill();
            tool.waitForFinished();
        }
        exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
        if (errors)
            *errors = QString::fromLocal8Bit(tool.readAllStandardError());
        return QString::fromLocal8Bit(tool.readAllStandardOutput());
    }

    QStringList serverArguments() const
    {
        return {"--server", TestDb::serverText(), "--database", TestDb::name(), "--user", TestDb::user()};
    }

    SyncSummary sync(const QString &syncRoot, int projectId, bool changedOnly = false)
    {
        SyncEngine engine(syncRoot, projectId);
        engine.setChangedOnly(changedOnly);
        return engine.run();
    }

    // Puts back a table a test renamed away (also after a test that ended
    // early).
    void restoreTables()
    {
        for (const char *table : {"shot_media", "shot_posters"}) {
            QSqlQuery query(check);
            if (query.exec(QStringLiteral("SHOW TABLES LIKE '%1_away'").arg(QLatin1String(table))) && query.next())
                QSqlQuery(check).exec(QStringLiteral("RENAME TABLE %1_away TO %1").arg(QLatin1String(table)));
        }
    }

    // The test user's connections to the server.
    int connections()
    {
        QSqlQuery query(check);
        query.exec(QStringLiteral("SELECT COUNT(*) FROM information_schema.processlist WHERE user = '%1'")
                       .arg(TestDb::user()));
        return query.next() ? query.value(0).toInt() : -1;
    }

    // Adds count posters of size bytes each directly; returns their contents.
    QList<PosterFetcher::Content> addPosters(int count, int size, const QByteArray &tag)
    {
        QList<PosterFetcher::Content> contents;
        QSqlQuery insert(check);
        insert.prepare("INSERT INTO shot_posters (MD5, SHA1, image, width, height) VALUES (?, ?, ?, 320, 180)");
        for (int i = 0; i < count; ++i) {
            const QByteArray seed = tag + QByteArray::number(i);
            const PosterFetcher::Content content(QCryptographicHash::hash(seed, QCryptographicHash::Md5).toHex(),
                                                 QCryptographicHash::hash(seed, QCryptographicHash::Sha1).toHex());
            insert.bindValue(0, QVariant(content.first));
            insert.bindValue(1, QVariant(content.second));
            insert.bindValue(2, QVariant(QByteArray("\xff\xd8\xff") + seed.leftJustified(size - 3, '.')));
            if (!insert.exec())
                qWarning() << insert.lastError().text();
            contents << content;
        }
        return contents;
    }

private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        db = TestDb::open();
        QVERIFY(db.isOpen());
        check = TestDb::open("check");
        QVERIFY(check.isOpen());
        ClientState::instance()->connected = 1;
        QVERIFY(clips.isValid());
        CameraClip west;
        west.zone = 0x2a;
        west.seconds = 2;
        westClip = clips.filePath("west.MTS");
        QString error;
        QVERIFY2(west.make(westClip, &error), qPrintable(error));
        CameraClip plain;
        plain.width = 1280;
        plain.height = 720;
        plain.interlaced = false;
        plain.rate = "25/1";
        plain.message = false;
        plain.seconds = 1;
        plainClip = clips.filePath("plain.MTS");
        QVERIFY2(plain.make(plainClip, &error), qPrintable(error));
        // No thread but the GUI thread may use the login's connection.
        previousHandler = qInstallMessageHandler(watchForeignThreads);
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(previousHandler);
    }

    void init()
    {
        QVERIFY(TestDb::reset(check));
        restoreTables();
        QSqlQuery clear(check);
        QVERIFY(clear.exec("DELETE FROM shot_media") && clear.exec("DELETE FROM shot_posters"));
        project = TestDb::addProject(check, "Harbour Documentary", QVariant());
        otherProject = TestDb::addProject(check, "Test Shoot", QVariant());
        rootDir.reset(new QTemporaryDir);
        QVERIFY(rootDir->isValid());
        root = rootDir->path() + "/root";
        QVERIFY(QDir().mkpath(root + "/raw"));
    }

    void cleanup()
    {
        QVERIFY2(threadWarnings.isEmpty(), qPrintable(threadWarnings.join('\n')));
        restoreTables();
    }

    // --- at sync -----------------------------------------------------------------

    void factsAndPostersAreStoredOncePerContent()
    {
        QVERIFY(copyInto(westClip, root + "/raw/A/00001.MTS"));
        QVERIFY(copyInto(westClip, root + "/raw/B/copy.MTS"));
        QVERIFY(copyInto(plainClip, root + "/raw/A/00002.MTS"));
        QFile notes(root + "/raw/A/notes.MTS");
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("Scene 4, take 2.\n");
        notes.close();

        const SyncSummary summary = sync(root, project);
        QCOMPARE(summary.exitCode(), 0);
        QCOMPARE(summary.inserted, 3);
        QCOMPARE(summary.matched, 1);
        QCOMPARE(summary.mediaRead, 3);   // the copy is not read again
        QCOMPARE(summary.posters, 2);
        QVERIFY2(summary.text().contains("Media read for 3 clips: 2 posters, 1 not readable as video."),
                 qPrintable(summary.text()));
        QVERIFY2(summary.text().contains("No media facts for raw/A/notes.MTS: not a video"), qPrintable(summary.text()));
        QCOMPARE(rows("shot_media"), 3);
        QCOMPARE(rows("shot_posters"), 2);

        // Read back as the grid will read them.
        const QString westMd5 = fileMd5(westClip);
        QSqlQuery facts(check);
        QVERIFY(facts.exec(QStringLiteral("SELECT SHA1 FROM shots WHERE MD5 = '%1'").arg(westMd5)) && facts.next());
        const QByteArray westSha1 = facts.value(0).toByteArray();
        QVERIFY(facts.prepare(Sql::selectMediaFacts));
        facts.bindValue(":md", QVariant(westMd5.toLatin1()));
        facts.bindValue(":sh", QVariant(westSha1));
        QVERIFY2(facts.exec() && facts.next(), qPrintable(facts.lastError().text()));
        const MediaFacts west = MediaFacts::fromRecord(facts.record());
        QCOMPARE(west.lengthText(), QStringLiteral("0:02.002"));
        QCOMPARE(west.formatText(), QStringLiteral("1920x1080i 29.97"));
        QCOMPARE(west.recordedText(), QStringLiteral("2024-03-17 14:05:09 -05:00"));
        QCOMPARE(west.timecodeText(), QStringLiteral("01:45:30:00"));
        QCOMPARE(west.videoCodec, QStringLiteral("h264"));
        QCOMPARE(west.audioCodec, QStringLiteral("ac3"));
        QCOMPARE(west.audioChannels, 2);
        QCOMPARE(west.audioRate, 48000);
        QVERIFY(west.problem.isEmpty());

        QSqlQuery raw(check);
        QVERIFY(raw.exec(QStringLiteral("SELECT recorded_at, recorded_utc_offset, frame_rate, scan, read_at IS NOT NULL "
                                        "FROM shot_media WHERE MD5 = '%1'")
                             .arg(westMd5))
                && raw.next());
        QCOMPARE(raw.value(0).toDateTime().toString("yyyy-MM-dd HH:mm:ss"), QStringLiteral("2024-03-17 14:05:09"));
        QCOMPARE(raw.value(1).toInt(), -300);
        QCOMPARE(raw.value(2).toString(), QStringLiteral("30000/1001"));
        QCOMPARE(raw.value(3).toString(), QStringLiteral("interlaced"));
        QVERIFY(raw.value(4).toBool());

        QVERIFY(raw.exec(QStringLiteral("SELECT recorded_at IS NULL, recorded_utc_offset IS NULL, start_timecode IS NULL, "
                                        "width, problem IS NULL FROM shot_media WHERE MD5 = '%1'")
                             .arg(fileMd5(plainClip)))
                && raw.next());
        QVERIFY(raw.value(0).toBool() && raw.value(1).toBool() && raw.value(2).toBool());
        QCOMPARE(raw.value(3).toInt(), 1280);
        QVERIFY(raw.value(4).toBool());

        QVERIFY(raw.exec(QStringLiteral("SELECT problem, duration_ms IS NULL, width IS NULL FROM shot_media WHERE MD5 = '%1'")
                             .arg(fileMd5(root + "/raw/A/notes.MTS")))
                && raw.next());
        QCOMPARE(raw.value(0).toString(), QStringLiteral("not a video"));
        QVERIFY(raw.value(1).toBool() && raw.value(2).toBool());

        QVERIFY(raw.exec("SELECT image, width, height FROM shot_posters") && raw.next());
        QVERIFY(raw.value(0).toByteArray().startsWith("\xff\xd8\xff"));
        QVERIFY(raw.value(0).toByteArray().size() <= 32 * 1024);
        QCOMPARE(raw.value(1).toInt(), 320);
        QCOMPARE(raw.value(2).toInt(), 180);
    }

    // A re-sync, a copy synced into another project and a quick re-sync
    // never read a content's media again.
    void mediaIsNeverReadTwice()
    {
        QVERIFY(copyInto(westClip, root + "/raw/A/00001.MTS"));
        QCOMPARE(sync(root, project).mediaRead, 1);
        QSqlQuery first(check);
        QVERIFY(first.exec("SELECT read_at FROM shot_media") && first.next());
        const QDateTime readAt = first.value(0).toDateTime();

        const SyncSummary again = sync(root, project);
        QCOMPARE(again.matched, 1);
        QCOMPARE(again.mediaRead, 0);
        QVERIFY(!again.text().contains("Media read"));

        const QString elsewhere = rootDir->path() + "/elsewhere";
        QVERIFY(copyInto(westClip, elsewhere + "/raw/Day2/moved.MTS"));
        const SyncSummary copied = sync(elsewhere, otherProject);
        QCOMPARE(copied.matched, 1);
        QCOMPARE(copied.mediaRead, 0);

        const SyncSummary quick = sync(root, project, true);
        QCOMPARE(quick.mediaRead, 0);
        QCOMPARE(rows("shot_media"), 1);
        QVERIFY(first.exec("SELECT read_at FROM shot_media") && first.next());
        QCOMPARE(first.value(0).toDateTime(), readAt);
    }

    void noMediaSkipsReading()
    {
        QVERIFY(copyInto(westClip, root + "/raw/A/00001.MTS"));
        const QStringList arguments = QStringList{"--root", root, "--project", QString::number(project)} + serverArguments();
        int exitCode = -1;
        QString out = syncTool(arguments + QStringList{"--no-media"}, exitCode);
        QCOMPARE(exitCode, 0);
        QVERIFY2(!out.contains("Media"), qPrintable(out));
        QCOMPARE(rows("shot_media"), 0);
        out = syncTool(arguments, exitCode);
        QCOMPARE(exitCode, 0);
        QVERIFY2(out.contains("Media read for 1 clips: 1 posters."), qPrintable(out));
        QCOMPARE(rows("shot_posters"), 1);
    }

    // Without the tables everything works as before, and the summary and
    // the chooser say once, in one line, how to turn media on.
    void missingTablesAreSaidOnce()
    {
        QVERIFY(copyInto(westClip, root + "/raw/A/00001.MTS"));
        QVERIFY(copyInto(plainClip, root + "/raw/A/00002.MTS"));
        QVERIFY(QSqlQuery(check).exec("RENAME TABLE shot_media TO shot_media_away"));
        int exitCode = -1;
        const QString out = syncTool(QStringList{"--root", root, "--project", QString::number(project)} + serverArguments(),
                                     exitCode);
        QCOMPARE(exitCode, 0);
        QVERIFY2(out.contains("inserted  1  raw/A/00001.MTS"), qPrintable(out));
        const QString hint = "Clip facts and posters are off: the database has no table shot_media. An administrator "
                             "turns them on with tavelo-sync --setup-database.";
        QCOMPARE(out.count(hint), 1);
        QCOMPARE(rows("shot_posters"), 0);

        ProjectSelector chooser;
        auto *label = chooser.findChild<QLabel *>("mediaHintLabel");
        QVERIFY(label);
        QCOMPARE(label->text(), hint);
        QVERIFY(!label->isHidden());
        saveScreenshot(&chooser, "chooser-media-off");

        QVERIFY(QSqlQuery(check).exec("RENAME TABLE shot_media_away TO shot_media"));
        ProjectSelector withTables;
        QVERIFY(withTables.findChild<QLabel *>("mediaHintLabel")->isHidden());
    }

    void theChoosersSyncReadsMediaToo()
    {
        QVERIFY(copyInto(westClip, root + "/raw/A/00001.MTS"));
        const QString startDirectory = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root));
        ClientState::instance()->projectId = project;
        {
            PopulateDB window;
            whenModal("PopulateDB", [](QWidget *shown) {
                auto *button = shown->findChild<QPushButton *>("cancelButton");
                QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Close"), 60000);
                button->click();
            });
            const SyncSummary summary = window.run();
            QCOMPARE(summary.mediaRead, 1);
        }
        QDir::setCurrent(startDirectory);
        QCOMPARE(rows("shot_posters"), 1);
    }

    // --- set-up ------------------------------------------------------------------

    void setupDatabase()
    {
        // A server of the test's own with only the two main tables, an
        // owner and a clerk without the right to create tables.
        QTemporaryDir serverDir;
        QString schema = QString::fromUtf8(readFile(TAVELO_SOURCE_DIR "/db/schema.sql"));
        schema.truncate(schema.indexOf("-- Optional:"));
        QVERIFY(!schema.contains("shot_media"));
        const QString schemaPath = serverDir.filePath("schema.sql");
        QFile schemaFile(schemaPath);
        QVERIFY(schemaFile.open(QIODevice::WriteOnly));
        schemaFile.write(schema.toUtf8());
        schemaFile.close();
        PrivateServer server;
        QVERIFY2(server.start(serverDir.filePath("server"), schemaPath), qPrintable(server.errorText()));
        QVERIFY(server.sql(QStringLiteral("CREATE USER 'clerk'@'127.0.0.1' IDENTIFIED BY 'clerk-password';"
                                          "GRANT SELECT, INSERT, UPDATE ON %1.* TO 'clerk'@'127.0.0.1';")
                               .arg(server.databaseName())));
        const QStringList connection{"--setup-database", "--server", server.serverText(), "--database",
                                     server.databaseName()};
        int exitCode = -1;
        QString errors;
        QString out = syncTool(connection + QStringList{"--user", "clerk"}, exitCode, &errors, "clerk-password");
        QCOMPARE(exitCode, 2);
        QVERIFY2(errors.contains("The table shot_media could not be created: CREATE command denied"), qPrintable(errors));
        QVERIFY(out.isEmpty());

        out = syncTool(connection + QStringList{"--user", server.user()}, exitCode, &errors, server.password());
        QCOMPARE(exitCode, 0);
        QCOMPARE(out, QStringLiteral("Created the table shot_media.\nCreated the table shot_posters.\n"
                                     "Created the table shot_changes.\nCreated the table shot_tags.\n"
                                     "Created the table project_tags.\n"));
        out = syncTool(connection + QStringList{"--user", server.user()}, exitCode, &errors, server.password());
        QCOMPARE(exitCode, 0);
        QCOMPARE(out, QStringLiteral("Nothing changed: the tables shot_media, shot_posters, shot_changes, "
                                     "shot_tags and project_tags are already there.\n"));

        // The clerk's syncs now read media.
        {
            QSqlDatabase own = server.open("own");
            StatementRunner runner(own);
            QVERIFY(MediaTables::check(runner).available());
            own.close();
        }
        QSqlDatabase::removeDatabase("own");

        out = syncTool({"--setup-database", "--project", "3"}, exitCode, &errors);
        QCOMPARE(exitCode, 2);
        QVERIFY2(errors.contains("takes only the connection options"), qPrintable(errors));
    }

    // db/schema.sql holds the very statements --setup-database runs.
    void schemaFileHoldsTheSameTables()
    {
        const QString schema = QString::fromUtf8(readFile(TAVELO_SOURCE_DIR "/db/schema.sql"));
        QVERIFY(schema.contains(QString::fromLatin1(Sql::createShotMedia) + ";"));
        QVERIFY(schema.contains(QString::fromLatin1(Sql::createShotPosters) + ";"));
        QVERIFY(schema.contains(QString::fromLatin1(Sql::createHistoryTable) + ";"));
        QVERIFY(schema.contains(QString::fromLatin1(Sql::createShotTags) + ";"));
        QVERIFY(schema.contains(QString::fromLatin1(Sql::createProjectTags) + ";"));
    }

    // --- the grid's posters ---------------------------------------------------------

    void postersComeFromAConnectionOfTheirOwn()
    {
        const QList<PosterFetcher::Content> contents = addPosters(120, 2000, "poster");
        const PosterFetcher::Content unknown(QByteArray(32, 'a'), QByteArray(40, 'b'));
        const int before = connections();
        {
            PosterFetcher fetcher;
            QSignalSpy ready(&fetcher, &PosterFetcher::posterReady);
            QList<QThread *> threads;
            connect(&fetcher, &PosterFetcher::posterReady, this, [&threads]() { threads << QThread::currentThread(); });
            fetcher.request(contents + QList<PosterFetcher::Content>{unknown});
            QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 121, 10000);
            QCOMPARE(connections(), before + 1);
            QVERIFY(!fetcher.isWaitingForServer());
            for (QThread *thread : std::as_const(threads))
                QCOMPARE(thread, QThread::currentThread());
            for (const QList<QVariant> &signal : std::as_const(ready)) {
                // Without a decoder the bytes come as they are stored.
                const QByteArray jpeg = signal.at(2).toByteArray();
                QVERIFY(signal.at(3).toString().isEmpty());
                if (signal.at(0).toByteArray() == unknown.first) {
                    QVERIFY(!signal.at(2).isValid());
                } else {
                    QCOMPARE(jpeg.size(), 2000);
                    QVERIFY(jpeg.startsWith("\xff\xd8\xff"));
                }
            }
            QCOMPARE(fetcher.poster(contents.at(7).first, contents.at(7).second).toByteArray().size(), 2000);
            QVERIFY(fetcher.hasNoPoster(unknown.first, unknown.second));
            // Asked again: all from the cache, no statement.
            const int statements = fetcher.statementsRun();
            ready.clear();
            fetcher.request(contents + QList<PosterFetcher::Content>{unknown});
            QTest::qWait(200);
            QCOMPARE(fetcher.statementsRun(), statements);
            QCOMPARE(ready.size(), 0);
            // The login's connection is as it was.
            QSqlQuery own(db);
            QVERIFY(own.exec("SELECT COUNT(*) FROM shot_posters") && own.next());
            QCOMPARE(own.value(0).toInt(), 120);
        }
        // Its thread closed its connection as the fetcher went.
        QTRY_COMPARE_WITH_TIMEOUT(connections(), before, 10000);
    }

    // A newer request replaces what is left of an older one: the rows that
    // scrolled out of view are not fetched.
    void newerRequestReplacesTheOlder()
    {
        const QList<PosterFetcher::Content> scrolledPast = addPosters(400, 1000, "past");
        const QList<PosterFetcher::Content> inView = addPosters(30, 1000, "view");
        PosterFetcher fetcher;
        QSignalSpy ready(&fetcher, &PosterFetcher::posterReady);
        fetcher.request(scrolledPast);
        fetcher.request(inView);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(inView.cbegin(), inView.cend(),
                                             [&](const PosterFetcher::Content &content) {
                                                 return fetcher.poster(content.first, content.second).isValid();
                                             }),
                                 10000);
        QTest::qWait(300);
        int pastDelivered = 0;
        for (const PosterFetcher::Content &content : scrolledPast)
            pastDelivered += fetcher.poster(content.first, content.second).isValid() ? 1 : 0;
        // At most the one statement that was underway.
        QVERIFY2(pastDelivered <= 50, qPrintable(QString::number(pastDelivered)));
    }

    void cacheStaysWithinItsBound()
    {
        const QList<PosterFetcher::Content> contents = addPosters(200, 30000, "large");
        PosterFetcher fetcher;
        fetcher.setCacheLimit(1024 * 1024);
        QSignalSpy ready(&fetcher, &PosterFetcher::posterReady);
        for (int from = 0; from < contents.size(); from += 40) {
            fetcher.request(contents.mid(from, 40));
            QTRY_COMPARE_WITH_TIMEOUT(ready.size(), from + 40, 10000);
            QVERIFY(fetcher.cacheBytes() <= 1024 * 1024);
        }
        // The last ones asked for are still there.
        QVERIFY(fetcher.poster(contents.last().first, contents.last().second).isValid());
    }

    void fetcherSaysWhenThereAreNoPosters()
    {
        const QList<PosterFetcher::Content> contents = addPosters(3, 1000, "gone");
        QVERIFY(QSqlQuery(check).exec("RENAME TABLE shot_posters TO shot_posters_away"));
        PosterFetcher fetcher;
        QSignalSpy problems(&fetcher, &PosterFetcher::problemOccurred);
        fetcher.request(contents);
        QTRY_COMPARE_WITH_TIMEOUT(problems.size(), 1, 10000);
        QCOMPARE(problems.first().first().toString(),
                 QStringLiteral("Clip facts and posters are off: the database has no table shot_posters. An "
                                "administrator turns them on with tavelo-sync --setup-database."));
        QVERIFY(!fetcher.isAvailable());
        fetcher.request(contents);
        QTest::qWait(200);
        QCOMPARE(problems.size(), 1);
    }

    // Posters are decoded on the fetcher's thread, with the grid's decoder;
    // a picture larger than a poster is refused from its header, never
    // decoded (it froze the window for seconds per row when it was).
    void postersAreDecodedOnTheFetchersThread_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("decoded");  // invalid when refused
        QTest::addColumn<QString>("refusal");
        auto jpegOf = [](QSize size, QImage::Format format) {
            QImage image(size, format);
            image.fill(Qt::gray);
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "JPG");
            return jpeg;
        };
        QTest::newRow("as the sync writes them") << jpegOf({320, 180}, QImage::Format_RGB32) << QSize(320, 180)
                                                 << QString();
        QTest::newRow("a portrait clip's") << jpegOf({320, 568}, QImage::Format_RGB32) << QSize(320, 568) << QString();
        QTest::newRow("5760x5760") << jpegOf({5760, 5760}, QImage::Format_Grayscale8) << QSize()
                                   << "its picture is 5760x5760 pixels, larger than a poster";
        QTest::newRow("wider than a poster") << jpegOf({640, 360}, QImage::Format_RGB32) << QSize()
                                             << "its picture is 640x360 pixels, larger than a poster";
        QTest::newRow("far higher than wide") << jpegOf({320, 4000}, QImage::Format_Grayscale8) << QSize()
                                              << "its picture is 320x4000 pixels, larger than a poster";
        QTest::newRow("no picture") << QByteArray("\xff\xd8\xff not a JPEG after all") << QSize()
                                    << "its picture cannot be read";
    }

    void postersAreDecodedOnTheFetchersThread()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, decoded);
        QFETCH(QString, refusal);
        const PosterFetcher::Content content(QByteArray(32, 'e'), QByteArray(40, 'f'));
        QSqlQuery insert(check);
        insert.prepare("INSERT INTO shot_posters (MD5, SHA1, image, width, height) VALUES (?, ?, ?, 0, 0)");
        insert.addBindValue(content.first);
        insert.addBindValue(content.second);
        insert.addBindValue(bytes);
        QVERIFY2(insert.exec(), qPrintable(insert.lastError().text()));

        struct Decoded
        {
            QMutex mutex;
            QList<QThread *> threads;
        };
        auto seen = std::make_shared<Decoded>();
        const PosterFetcher::Decoder grids = posterDecoder(20);
        PosterFetcher fetcher;
        fetcher.setDecoder([grids, seen](const QByteArray &jpeg) {
            {
                const QMutexLocker lock(&seen->mutex);
                seen->threads << QThread::currentThread();
            }
            return grids(jpeg);
        });
        QSignalSpy ready(&fetcher, &PosterFetcher::posterReady);
        fetcher.request({content});
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
        {
            const QMutexLocker lock(&seen->mutex);
            QCOMPARE(seen->threads.size(), 1);
            QVERIFY(seen->threads.first() != QThread::currentThread());
        }
        const QVariant picture = ready.first().at(2);
        const QString said = ready.first().at(3).toString();
        if (decoded.isValid()) {
            QVERIFY(said.isEmpty());
            const PosterPictures pictures = picture.value<PosterPictures>();
            QCOMPARE(pictures.picture.size(), decoded);
            QCOMPARE(pictures.thumbnail.height(), 20);
            QVERIFY(fetcher.poster(content.first, content.second).isValid());
            QCOMPARE(fetcher.cacheBytes(), pictures.picture.sizeInBytes() + pictures.thumbnail.sizeInBytes());
            QVERIFY(!fetcher.hasNoPoster(content.first, content.second));
        } else {
            // Like a content without poster, with the reason kept.
            QVERIFY(!picture.isValid());
            QVERIFY2(said.startsWith(refusal), qPrintable(said));
            QVERIFY(fetcher.hasNoPoster(content.first, content.second));
            QCOMPARE(fetcher.refusal(content.first, content.second), said);
            QCOMPARE(fetcher.cacheBytes(), 0);
        }
        // Asked again: neither fetched nor decoded again.
        const int statements = fetcher.statementsRun();
        fetcher.request({content});
        QTest::qWait(200);
        QCOMPARE(fetcher.statementsRun(), statements);
        QCOMPARE(seen->threads.size(), 1);
    }

    // Posters have a database thread of their own: they never wait behind
    // the window's reads and saves, nor hold them up.
    void postersNeverWaitBehindTheWindowsDatabaseWork()
    {
        const QList<PosterFetcher::Content> contents = addPosters(10, 1000, "beside");
        auto release = std::make_shared<std::atomic_bool>(false);
        auto released = qScopeGuard([release]() { *release = true; });
        DbWorker *shared = DbWorker::shared();
        shared->post(this, [release](DbSession &) -> DbWorker::Continuation {
            while (!*release)
                QThread::msleep(5);
            return {};
        });
        PosterFetcher fetcher;
        QSignalSpy ready(&fetcher, &PosterFetcher::posterReady);
        fetcher.request(contents);
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 10, 10000);
        QVERIFY(shared->isBusy());
        *release = true;
        QTRY_VERIFY_WITH_TIMEOUT(!shared->isBusy(), 10000);
    }

    // Destroyed while a fetch is underway: no crash, and its thread ends
    // (closing its connection).
    void fetcherGoesAwayMidFetch()
    {
        const QList<PosterFetcher::Content> contents = addPosters(300, 1000, "away");
        const int before = connections();
        for (int round = 0; round < 5; ++round) {
            auto fetcher = std::make_unique<PosterFetcher>();
            fetcher->request(contents);
            QTest::qWait(round * 3);
            fetcher.reset();
        }
        QTRY_COMPARE_WITH_TIMEOUT(connections(), before, 10000);
    }
};

QTEST_MAIN(TestMediaSync)
#include "tst_mediasync.moc"
