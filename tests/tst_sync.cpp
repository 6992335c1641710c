// The project sync against the real server and real files: the cache file
// byte for byte, the statements and what happens when they fail, cancel, the
// progress window and the tavelo-sync companion. The digests, the clip walk
// and the cache file's writer need no server: tst_digests, tst_clipwalk and
// tst_cachefile test them.

#include "app/clientstate.h"
#include "projects/cliphasher.h"
#include "projects/populatedb.h"
#include "projects/projectselector.h"
#include "projects/syncengine.h"
#include "syncfiles.h"
#include "testsupport.h"
#include "files/partialfile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <future>

#ifdef Q_OS_UNIX
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace {

struct ShotRow
{
    int id;
    int project;
    QString filename;
    QByteArray md5;
    QByteArray sha1;
};

QList<ShotRow> shotRows()
{
    QList<ShotRow> rows;
    QSqlQuery query(QSqlDatabase::database("check"));
    if (!query.exec("SELECT id, project, filename, MD5, SHA1 FROM shots ORDER BY id"))
        qWarning() << query.lastError().text();
    while (query.next())
        rows << ShotRow{query.value(0).toInt(), query.value(1).toInt(), query.value(2).toString(),
                        query.value(3).toByteArray(), query.value(4).toByteArray()};
    return rows;
}

// Hashes as usual, but takes its time over every clip after raw/1.MTS, so
// each clip's row is committed and reported before the next one arrives.
SyncEngine::HashFunction pausingHash(int ms)
{
    return [ms](const QString &path, const std::atomic_bool *cancel, const ClipHasher::ProgressFunction &progress) {
        if (!path.endsWith("/raw/1.MTS"))
            QThread::msleep(ms);
        return ClipHasher().hashFile(path, cancel, progress);
    };
}

// Sets a file's modification time, so the quick re-sync sees a clip that
// had settled long before it was hashed.
void setModified(const QString &path, const QDateTime &when)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.setFileTime(when, QFileDevice::FileModificationTime))
        qWarning() << "setModified failed:" << path;
}

QStringList skippedPaths(const SyncSummary &summary)
{
    QStringList paths;
    for (const auto &clip : summary.skippedClips)
        paths << clip.first;
    return paths;
}

} // namespace

class TestSync : public QObject
{
    Q_OBJECT

private:
    QSqlDatabase db;
    QSqlDatabase check;
    int project = 0;
    int otherProject = 0;
    QScopedPointer<QTemporaryDir> rootDir;
    QString root;
    QString startDirectory;
    QString passwordToRestore;   // the test user's password, changed to make a reconnect fail
    QString mountPoint;          // a small file system mounted by a test
    int waitTimeoutToRestore = 0; // the server's wait_timeout, shortened by a test

    // The connection cannot be opened again until cleanup(): the test user's
    // password changes (which needs no privileges).
    void refuseNewConnections()
    {
        passwordToRestore = TestDb::password();
        QVERIFY(QSqlQuery(check).exec("SET PASSWORD = PASSWORD('not the password any more')"));
    }

    // Ends the sync's own connection (the only one of the test user opened
    // since before), as a server restart or an administrator would.
    void killSyncConnection(const QStringList &before)
    {
        QStringList opened = TestDb::connectionIds(check);
        for (const QString &id : before)
            opened.removeAll(id);
        QCOMPARE(opened.size(), 1);
        QSqlQuery kill(check);
        QVERIFY2(kill.exec("KILL CONNECTION " + opened.first()), qPrintable(kill.lastError().text()));
    }

    void restoreWaitTimeout()
    {
        if (waitTimeoutToRestore > 0)
            TestDb::rootSql(QStringLiteral("SET GLOBAL wait_timeout = %1").arg(waitTimeoutToRestore));
        waitTimeoutToRestore = 0;
    }

    // Runs the named test functions of this executable again in a child
    // without the capabilities with which root ignores file permissions.
    void runWithoutPermissionBypass(const QStringList &functions)
    {
        QString skipped;
        const QString failure = ::runWithoutPermissionBypass(functions, &skipped);
        if (!skipped.isEmpty())
            QSKIP(qPrintable(skipped));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    SyncSummary sync(int projectId = -1, const ClipHasher &hasher = ClipHasher())
    {
        SyncEngine engine(root, projectId < 0 ? project : projectId);
        engine.setHasher(hasher);
        return engine.run();
    }

    QString cachePath() const { return root + "/dbclient.cache"; }

    QString syncToolOutput(const QStringList &arguments, int &exitCode, QString *errors = nullptr,
                           const QProcessEnvironment &extra = QProcessEnvironment())
    {
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", root + "/config");
        environment.insert("HOME", root + "/home");
        environment.remove("TAVELO_DB_PASSWORD");
        for (const QString &key : extra.keys())
            environment.insert(key, extra.value(key));
        tool.setProcessEnvironment(environment);
        tool.start(TAVELO_SYNC_PATH, arguments);
        if (!tool.waitForFinished(60000)) {
            tool.kill();
            tool.waitForFinished();
            exitCode = -1;
            return QString();
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

    QProcessEnvironment passwordEnvironment() const
    {
        QProcessEnvironment environment;
        environment.insert("TAVELO_DB_PASSWORD", TestDb::password());
        return environment;
    }

private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        startDirectory = QDir::currentPath();
        db = TestDb::open();
        QVERIFY(db.isOpen());
        check = TestDb::open("check");
        QVERIFY(check.isOpen());
        ClientState::instance()->connected = 1;
    }

    void init()
    {
        QDir::setCurrent(startDirectory);
        if (!db.isOpen())
            QVERIFY(db.open());
        QVERIFY(TestDb::reset(check));
        project = TestDb::addProject(check, "Harbour Documentary", "Three days on the east pier.");
        otherProject = TestDb::addProject(check, "Test Shoot", QVariant());
        QVERIFY(project && otherProject);
        rootDir.reset(new QTemporaryDir);
        QVERIFY(rootDir->isValid());
        root = rootDir->path();
    }

    void cleanup()
    {
        restoreWaitTimeout();
        if (!passwordToRestore.isEmpty()) {
            QSqlQuery(check).exec(QStringLiteral("SET PASSWORD = PASSWORD('%1')").arg(passwordToRestore));
            passwordToRestore.clear();
        }
        if (!mountPoint.isEmpty()) {
            QProcess::execute("umount", {mountPoint});
            mountPoint.clear();
        }
        // A test that renamed the table away puts it back.
        QSqlQuery query(check);
        if (query.exec("SHOW TABLES LIKE 'shots_away'") && query.next())
            query.exec("RENAME TABLE shots_away TO shots");
    }

    // --- the cache file ----------------------------------------------------

    void missingOrEmptyRawLeavesOnlyTheHeader_data()
    {
        QTest::addColumn<bool>("makeRaw");
        QTest::newRow("no raw directory") << false;
        QTest::newRow("empty raw directory") << true;
    }

    void missingOrEmptyRawLeavesOnlyTheHeader()
    {
        QFETCH(bool, makeRaw);
        if (makeRaw)
            QVERIFY(QDir(root).mkpath("raw"));
        createFile(root, "dbclient.cache", "old content that must go\n");
        const SyncSummary summary = sync();
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Completed));
        QCOMPARE(summary.found, 0);
        QCOMPARE(summary.exitCode(), 0);
        QCOMPARE(readFile(cachePath()), cacheHeader);
        // A root set to the raw folder itself used to give a silent "0 clips".
        QCOMPARE(summary.rawMissing, !makeRaw);
        QCOMPARE(summary.text().contains("There is no raw folder in"), !makeRaw);
        QVERIFY(shotRows().isEmpty());
    }

    void twoClipRunIsByteExact()
    {
        const QByteArray a = randomBytes(300000, 1);
        const QByteArray b = randomBytes(5000, 2);
        createFile(root, "raw/CardB/00001.MTS", b);
        createFile(root, "raw/CardA/00012.MTS", a);
        const SyncSummary summary = sync();
        QCOMPARE(summary.inserted, 2);
        const ClipHasher::Result da = ClipHasher::hashData(a), dbb = ClipHasher::hashData(b);
        // Sorted by path: CardA before CardB.
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/CardA/00012.MTS", da.md5, da.sha1, 1)
                                            + cacheRecord("raw/CardB/00001.MTS", dbb.md5, dbb.sha1, 2));
        const QList<ShotRow> rows = shotRows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).filename, QStringLiteral("raw/CardA/00012.MTS"));
        QCOMPARE(rows.at(0).project, project);
        QCOMPARE(rows.at(0).md5, da.md5);
        QCOMPARE(rows.at(0).sha1, da.sha1);
        QCOMPARE(rows.at(1).filename, QStringLiteral("raw/CardB/00001.MTS"));
    }

    void tracesOnTheDebugStream()
    {
        const QByteArray a = randomBytes(1000, 5);
        createFile(root, "raw/a.MTS", a);
        createFile(root, "raw/b.MTS", a);
        const ClipHasher::Result d = ClipHasher::hashData(a);
        QStringList traces;
        {
            const DebugTraces kept;
            sync();
            traces = kept.lines();
        }
        QCOMPARE(traces, QStringList({"raw/a.MTS", " MD5 :  " + d.md5, " SHA1:  " + d.sha1, "Query Size:  0",
                                      " No Matching Rows for this file.  Inserting it into DB.", "ID =  1",
                                      "raw/b.MTS", " MD5 :  " + d.md5, " SHA1:  " + d.sha1, "Query Size:  1",
                                      " Match found for this file.  Updating local cache with id :  1"}));
    }

    // --- statements --------------------------------------------------------

    void secondRunInsertsNothingAndRewritesTheSameCache()
    {
        createFile(root, "raw/A/1.MTS", randomBytes(70000, 11));
        createFile(root, "raw/B/2.MTS", randomBytes(80000, 12));
        QCOMPARE(sync().inserted, 2);
        const QByteArray first = readFile(cachePath());
        const SyncSummary again = sync();
        QCOMPARE(again.inserted, 0);
        QCOMPARE(again.matched, 2);
        QCOMPARE(readFile(cachePath()), first);
        QCOMPARE(shotRows().size(), 2);
    }

    void identicalClipsShareOneShot()
    {
        const QByteArray content = randomBytes(50000, 21);
        createFile(root, "raw/CardA/00001.MTS", content);
        createFile(root, "raw/CardB/copy.MTS", content);
        const SyncSummary summary = sync();
        QCOMPARE(summary.inserted, 1);
        QCOMPARE(summary.matched, 1);
        const ClipHasher::Result d = ClipHasher::hashData(content);
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/CardA/00001.MTS", d.md5, d.sha1, 1)
                                            + cacheRecord("raw/CardB/copy.MTS", d.md5, d.sha1, 1));
    }

    void clipOfAnotherProjectMatchesItsShot()
    {
        const QByteArray content = randomBytes(40000, 31);
        const ClipHasher::Result d = ClipHasher::hashData(content);
        QSqlQuery query(check);
        QVERIFY(query.exec(QStringLiteral("INSERT INTO shots (project, filename, MD5, SHA1) VALUES (%1, 'raw/elsewhere.MTS', '%2', '%3')")
                               .arg(otherProject)
                               .arg(QString::fromLatin1(d.md5), QString::fromLatin1(d.sha1))));
        const int existing = query.lastInsertId().toInt();
        createFile(root, "raw/here.MTS", content);
        const SyncSummary summary = sync();
        QCOMPARE(summary.matched, 1);
        QCOMPARE(summary.inserted, 0);
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/here.MTS", d.md5, d.sha1, existing));
        const QList<ShotRow> rows = shotRows();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().project, otherProject);
        // "1 matched, 0 inserted" into an empty project is explained.
        QVERIFY2(summary.text().startsWith("Found 1 clips for project \"Harbour Documentary\": 1 matched, 0 inserted"),
                 qPrintable(summary.text()));
        QVERIFY2(summary.text().contains("1 clips matched shots of other projects (1 of \"Test Shoot\")"),
                 qPrintable(summary.text()));
    }

    void movedClipKeepsItsIdAndOldFilename()
    {
        const QString oldPath = createFile(root, "raw/CardA/00001.MTS", randomBytes(30000, 41));
        QCOMPARE(sync().inserted, 1);
        QDir().mkpath(root + "/raw/Sorted/Day1");
        QVERIFY(QFile::rename(oldPath, root + "/raw/Sorted/Day1/take1.MTS"));
        const SyncSummary again = sync();
        QCOMPARE(again.matched, 1);
        QCOMPARE(again.inserted, 0);
        QVERIFY(readFile(cachePath()).contains("raw/Sorted/Day1/take1.MTS" + eol + ClipHasher::hashData(randomBytes(30000, 41)).md5));
        QVERIFY(readFile(cachePath()).endsWith(eol + "1" + eol + eol));
        QCOMPARE(shotRows().first().filename, QStringLiteral("raw/CardA/00001.MTS"));
    }

    void projectThatDoesNotExistIsRefused()
    {
        createFile(root, "raw/a.MTS", "content");
        createFile(root, "dbclient.cache", "left alone");
        const SyncSummary summary = sync(project + otherProject + 100);
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Refused));
        QCOMPARE(summary.exitCode(), 2);
        QVERIFY(summary.error.contains("no project with id"));
        QCOMPARE(readFile(cachePath()), QByteArray("left alone"));
        QVERIFY(shotRows().isEmpty());
    }

    // --- faults ------------------------------------------------------------

    // A failed lookup used to count as a match and record shot id 0. The
    // connection is reopened once; here that fails too.
    void lostConnectionStopsWithoutIdZero()
    {
        for (int i = 1; i <= 3; ++i)
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i), randomBytes(20000, quint32(50 + i)));
        const QStringList before = TestDb::connectionIds(check);

        SyncEngine engine(root, project);
        engine.setHashFunction(pausingHash(300));
        connect(&engine, &SyncEngine::clipFinished, this, [&]() {
            refuseNewConnections();
            killSyncConnection(before);
        });
        const SyncSummary summary = engine.run();
        QCOMPARE(int(summary.status), int(SyncSummary::Status::DatabaseFailed));
        QCOMPARE(summary.exitCode(), 3);
        QVERIFY2(summary.error.contains("raw/2.MTS"), qPrintable(summary.error));
        QVERIFY2(summary.error.contains("Reopening it failed"), qPrintable(summary.error));
        QCOMPARE(summary.inserted, 1);
        const ClipHasher::Result d = ClipHasher::hashData(randomBytes(20000, 51));
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/1.MTS", d.md5, d.sha1, 1));
        QCOMPARE(shotRows().size(), 1);
        db.close();
    }

    void refusedStatementSkipsTheClipAndGoesOn()
    {
        for (int i = 1; i <= 3; ++i)
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i), randomBytes(20000, quint32(60 + i)));
        SyncEngine engine(root, project);
        engine.setHashFunction(pausingHash(300));
        int finishedClips = 0;
        connect(&engine, &SyncEngine::clipFinished, this, [&]() {
            if (++finishedClips == 1)
                QSqlQuery(check).exec("RENAME TABLE shots TO shots_away");
        });
        const SyncSummary summary = engine.run();
        QSqlQuery(check).exec("RENAME TABLE shots_away TO shots");
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Completed));
        QCOMPARE(summary.inserted, 1);
        QCOMPARE(summary.skipped, 2);
        QCOMPARE(summary.exitCode(), 1);
        QCOMPARE(summary.skippedClips.at(0).first, QStringLiteral("raw/2.MTS"));
        QVERIFY2(summary.skippedClips.at(0).second.contains("refused the lookup"), qPrintable(summary.skippedClips.at(0).second));
        QVERIFY(!readFile(cachePath()).contains(eol + "0" + eol));
        QCOMPARE(readFile(cachePath()).count("MTS File"), 1);
    }

    void pathTooLongForItsColumnIsSkipped()
    {
        const QString longPath = "raw/" + QString(200, 'd') + "/" + QString(200, 'e') + "/" + QString(150, 'f') + ".MTS";
        createFile(root, longPath, "too long a name");
        createFile(root, "raw/short.MTS", "a short name");
        const SyncSummary summary = sync();
        QCOMPARE(summary.inserted, 1);
        QCOMPARE(summary.skipped, 1);
        QCOMPARE(summary.skippedClips.first().first, longPath);
        QVERIFY2(summary.skippedClips.first().second.contains("refused the new shot"),
                 qPrintable(summary.skippedClips.first().second));
        QCOMPARE(readFile(cachePath()).count("MTS File"), 1);
        QCOMPARE(shotRows().size(), 1);
        QVERIFY(summary.text().contains("Skipped " + longPath));
    }

    // Unreadable clips used to be hashed as empty content and inserted.
    void unreadableClipIsSkipped()
    {
        createFile(root, "raw/good.MTS", "good content");
#ifdef Q_OS_LINUX
        // Opens, then fails to read (even for root).
        QVERIFY(QFile::link("/proc/self/mem", root + "/raw/unreadable.MTS"));
#endif
        const QString locked = createFile(root, "raw/locked.MTS", "locked content");
        QFile::setPermissions(locked, QFileDevice::Permissions());
        const bool canOpenLocked = QFile(locked).open(QIODevice::ReadOnly); // root can
        const SyncSummary summary = sync();
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

        QStringList skipped;
        for (const auto &clip : summary.skippedClips)
            skipped << clip.first;
        QStringList expected;
        if (!canOpenLocked)
            expected << "raw/locked.MTS";
#ifdef Q_OS_LINUX
        expected << "raw/unreadable.MTS";
#endif
        QCOMPARE(skipped, expected);
        const ClipHasher::Result empty = ClipHasher::hashData(QByteArray());
        for (const ShotRow &row : shotRows())
            QVERIFY(row.md5 != empty.md5);
        QVERIFY(!readFile(cachePath()).contains(empty.md5));
        QCOMPARE(summary.exitCode(), expected.isEmpty() ? 0 : 1);
    }

    // A cache file that could not be written used to be lost silently.
    void unwritableCacheFileIsReported()
    {
        createFile(root, "raw/a.MTS", "content");
        QVERIFY(QDir(root).mkpath("dbclient.cache"));
        const SyncSummary summary = sync();
        QCOMPARE(summary.inserted, 1);
        QVERIFY(summary.cacheError.contains("dbclient.cache"));
        QVERIFY(summary.text().contains(summary.cacheError));
        QCOMPARE(summary.exitCode(), 1);
    }

    void cancelLeavesAWellFormedCache()
    {
        QList<QByteArray> contents;
        for (int i = 1; i <= 4; ++i) {
            contents << randomBytes(2 * 1024 * 1024, quint32(70 + i));
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i), contents.last());
        }
        SyncEngine engine(root, project);
        engine.setHashFunction(pausingHash(300)); // the cancel comes mid-clip
        connect(&engine, &SyncEngine::clipFinished, this, [&]() { engine.cancel(); });
        const SyncSummary summary = engine.run();
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Cancelled));
        QCOMPARE(summary.inserted, 1);
        QCOMPARE(summary.found, 4);
        QVERIFY(summary.text().contains("3 clips were not synced"));
        const ClipHasher::Result d = ClipHasher::hashData(contents.first());
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/1.MTS", d.md5, d.sha1, 1));
        QCOMPARE(shotRows().size(), 1);
    }

    // --- things that are not clips ---------------------------------------------

    void oddEntriesAreSkippedAndReported_data()
    {
        QTest::addColumn<QByteArray>("name");   // below raw/A/, as the bytes on disk
        QTest::addColumn<QString>("shown");     // the path the summary shows
        QTest::addColumn<QString>("reason");    // part of the reason given
        QTest::newRow("link to a FIFO") << QByteArray("pipe.MTS") << "raw/A/pipe.MTS" << "a FIFO";
        QTest::newRow("FIFO itself") << QByteArray("fifo.MTS") << "raw/A/fifo.MTS" << "a FIFO";
        QTest::newRow("link to /dev/zero") << QByteArray("zero.MTS") << "raw/A/zero.MTS" << "a character device";
        QTest::newRow("link to a folder") << QByteArray("folder.MTS") << "raw/A/folder.MTS" << "a folder";
        QTest::newRow("dangling link") << QByteArray("gone.MTS") << "raw/A/gone.MTS" << "cannot be reached";
        QTest::newRow("name not UTF-8") << QByteArray("caf\xe9.MTS") << "raw/A/caf\\xE9.MTS" << "not valid UTF-8";
        QTest::newRow("folder name not UTF-8") << QByteArray("d\xff/c.MTS") << "raw/A/d\\xFF/c.MTS" << "not valid UTF-8";
        QTest::newRow("line feed in the name") << QByteArray("a\nb.MTS") << "raw/A/a\\nb.MTS" << "line break";
        QTest::newRow("carriage return in a folder") << QByteArray("c\rd/e.MTS") << "raw/A/c\\rd/e.MTS" << "line break";
        // A name that used to write a well-formed record of its own, with
        // zero digests and a shot id the database does not have.
        QTest::newRow("name forging a record")
            << QByteArray("x\n00000000000000000000000000000000\n0000000000000000000000000000000000000000\n777\n\nMTS File\nraw/y.MTS")
            << "raw/A/x\\n00000000000000000000000000000000\\n0000000000000000000000000000000000000000\\n777\\n\\nMTS File\\nraw/y.MTS"
            << "line break";
    }

    void oddEntriesAreSkippedAndReported()
    {
#ifndef Q_OS_UNIX
        QSKIP("FIFOs, devices and byte names are Unix matters");
#else
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        QFETCH(QString, reason);
        createFile(root, "raw/A/good.MTS", "a good clip");
        const QByteArray base = QFile::encodeName(root);
        const QByteArray full = base + "/raw/A/" + name;
        const QByteArray tag = QTest::currentDataTag();
        if (tag == "link to a FIFO") {
            QCOMPARE(::mkfifo(base + "/fifo", 0600), 0);
            QCOMPARE(::symlink(base + "/fifo", full), 0);
        } else if (tag == "FIFO itself") {
            QCOMPARE(::mkfifo(full, 0600), 0);
        } else if (tag == "link to /dev/zero") {
            QCOMPARE(::symlink("/dev/zero", full), 0);
        } else if (tag == "link to a folder") {
            createFile(root, "elsewhere/inside.MTS", "not below raw");
            QCOMPARE(::symlink(base + "/elsewhere", full), 0);
        } else if (tag == "dangling link") {
            QCOMPARE(::symlink(base + "/nothing here", full), 0);
        } else {
            const int slash = full.lastIndexOf('/');
            ::mkdir(full.left(slash), 0755);
            FILE *file = std::fopen(full, "wb");
            QVERIFY(file);
            std::fputs("odd content", file);
            std::fclose(file);
        }
        // Bounded: a sync that blocks on the FIFO or reads /dev/zero for
        // ever is cancelled after 20 s, and fails below.
        SyncEngine engine(root, project);
        QTimer::singleShot(20000, &engine, &SyncEngine::cancel);
        const SyncSummary summary = engine.run();
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Completed));
        QCOMPARE(skippedPaths(summary), QStringList{shown});
        QVERIFY2(summary.skippedClips.first().second.contains(reason), qPrintable(summary.skippedClips.first().second));
        QCOMPARE(summary.found, 2);
        QCOMPARE(summary.inserted, 1);
        QCOMPARE(summary.skipped, 1);
        QCOMPARE(summary.exitCode(), 1);
        QVERIFY(summary.text().contains("Skipped " + shown + ": "));
        const ClipHasher::Result d = ClipHasher::hashData("a good clip");
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/A/good.MTS", d.md5, d.sha1, 1));
        QCOMPARE(shotRows().size(), 1);
#endif
    }

    void folderNamedLikeAClipIsWalked()
    {
        createFile(root, "raw/X.MTS/00001.MTS", "inside a folder named like a clip");
        const SyncSummary summary = sync();
        QCOMPARE(summary.found, 1);
        QCOMPARE(summary.inserted, 1);
        QVERIFY(summary.skippedClips.isEmpty());
        QCOMPARE(summary.exitCode(), 0);
        QCOMPARE(shotRows().first().filename, QStringLiteral("raw/X.MTS/00001.MTS"));
    }

    void unreadableFolderAndClipAreReported_data()
    {
        QTest::addColumn<QString>("locked");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("found");
        QTest::newRow("folder that cannot be listed") << "raw/B" << "raw/B/" << "cannot be listed" << 1;
        QTest::newRow("clip that cannot be opened") << "raw/B/locked.MTS" << "raw/B/locked.MTS" << "cannot be opened" << 2;
    }

    void unreadableFolderAndClipAreReported()
    {
#ifndef Q_OS_UNIX
        QSKIP("permissions are tested on Unix");
#else
        if (ignoresPermissions())
            QSKIP("root ignores permissions here; permissionCasesWithoutPrivileges runs this in a child that does not");
        QFETCH(QString, locked);
        QFETCH(QString, shown);
        QFETCH(QString, reason);
        QFETCH(int, found);
        createFile(root, "raw/A/good.MTS", "a good clip");
        createFile(root, "raw/B/locked.MTS", "a locked clip");
        const QByteArray lockedPath = QFile::encodeName(root + "/" + locked);
        QCOMPARE(::chmod(lockedPath, 0), 0);
        const SyncSummary summary = sync();
        ::chmod(lockedPath, 0700);
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Completed));
        QCOMPARE(skippedPaths(summary), QStringList{shown});
        QVERIFY2(summary.skippedClips.first().second.contains(reason), qPrintable(summary.skippedClips.first().second));
        QCOMPARE(summary.found, found);
        QCOMPARE(summary.inserted, 1);
        QCOMPARE(summary.exitCode(), 1);
        QVERIFY(summary.text().contains("Skipped " + shown + ": "));
        QCOMPARE(readFile(cachePath()).count("MTS File"), 1);
#endif
    }

    void companionRefusesARootThatCannotBeEntered()
    {
#ifndef Q_OS_UNIX
        QSKIP("permissions are tested on Unix");
#else
        if (ignoresPermissions())
            QSKIP("root ignores permissions here; permissionCasesWithoutPrivileges runs this in a child that does not");
        createFile(root, "locked/raw/a.MTS", "content");
        const QByteArray locked = QFile::encodeName(root + "/locked");
        QCOMPARE(::chmod(locked, 0), 0);
        int exitCode = 0;
        QString errors;
        syncToolOutput(QStringList{"--root", root + "/locked", "--project", QString::number(project)}
                           + serverArguments(),
                       exitCode, &errors, passwordEnvironment());
        ::chmod(locked, 0700);
        QCOMPARE(exitCode, 2);
        QVERIFY2(errors.contains("cannot be entered"), qPrintable(errors));
        QVERIFY(errors.contains(root + "/locked"));
        QVERIFY(!QFile::exists(root + "/locked/dbclient.cache"));
        QVERIFY(!QFile::exists(cachePath()));
        QVERIFY(shotRows().isEmpty());
#endif
    }

    void permissionCasesWithoutPrivileges()
    {
        runWithoutPermissionBypass({"unreadableFolderAndClipAreReported", "companionRefusesARootThatCannotBeEntered"});
    }

    // --- stuck reads -------------------------------------------------------------

    // A read stuck on a share that stopped answering used to freeze the
    // client for good: Cancel and the destructor joined the hashing thread.
    void cancelAndCloseNeverWaitForAStuckRead_data()
    {
        QTest::addColumn<bool>("window");
        QTest::newRow("engine") << false;
        QTest::newRow("sync window closed") << true;
    }

    void cancelAndCloseNeverWaitForAStuckRead()
    {
        QFETCH(bool, window);
        createFile(root, "raw/1.MTS", "first");
        createFile(root, "raw/2.MTS", "stuck");
        auto release = std::make_shared<std::promise<void>>();
        const std::shared_future<void> released = release->get_future().share();
        auto stuck = std::make_shared<std::atomic_bool>(false);
        // Plays a read that does not return and does not look at cancel.
        const SyncEngine::HashFunction stuckRead = [released, stuck](const QString &path, const std::atomic_bool *cancel,
                                                                     const ClipHasher::ProgressFunction &progress) {
            if (path.endsWith("/2.MTS")) {
                *stuck = true;
                released.wait();
            }
            return ClipHasher().hashFile(path, cancel, progress);
        };
        // Threads of earlier tests' runs end by themselves first.
        QTRY_COMPARE_WITH_TIMEOUT(SyncEngine::abandonedThreads(), 0, 10000);
        const int before = 0;
        QElapsedTimer clock;
        if (window) {
            QVERIFY(QDir::setCurrent(root));
            ClientState::instance()->projectId = project;
            auto sync = std::make_unique<PopulateDB>();
            SyncEngine *engine = sync->findChild<SyncEngine *>();
            engine->setHashFunction(stuckRead);
            whenModal("PopulateDB", [&](QWidget *shown) {
                // The first clip is recorded, the second stuck.
                QTRY_VERIFY(stuck->load() && engine->progress().clipsDone == 1);
                clock.start();
                shown->close();
            });
            const SyncSummary summary = sync->run();
            sync.reset();
            QCOMPARE(int(summary.status), int(SyncSummary::Status::Cancelled));
        } else {
            auto engine = std::make_unique<SyncEngine>(root, project);
            engine->setHashFunction(stuckRead);
            engine->start();
            QTRY_VERIFY(stuck->load() && engine->progress().clipsDone == 1);
            clock.start();
            engine->cancel();
            QTRY_VERIFY_WITH_TIMEOUT(!engine->isRunning(), 2000);
            QCOMPARE(int(engine->summary().status), int(SyncSummary::Status::Cancelled));
            engine.reset();
        }
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(SyncEngine::abandonedThreads(), before + 1);
        const QByteArray cache = readFile(cachePath());
        QVERIFY(cache.startsWith(cacheHeader));
        QCOMPARE(cache.count("MTS File"), 1);
        // Once the read returns, the thread ends by itself and touches nothing.
        release->set_value();
        QTRY_COMPARE(SyncEngine::abandonedThreads(), before);
        QCOMPARE(readFile(cachePath()), cache);
    }

    void companionEndsPromptlyOnSigterm()
    {
#ifndef Q_OS_UNIX
        QSKIP("signals are a Unix matter");
#else
        // Sparse: costs no disk, and takes many seconds to hash.
        QDir(root).mkpath("raw");
        QFile big(root + "/raw/1.MTS");
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(qint64(16) * 1024 * 1024 * 1024));
        big.close();
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TAVELO_DB_PASSWORD", TestDb::password());
        tool.setProcessEnvironment(environment);
        tool.start(TAVELO_SYNC_PATH, QStringList{"--root", root, "--project", QString::number(project)} + serverArguments());
        QVERIFY(tool.waitForStarted());
        QTest::qWait(1500);
        QCOMPARE(tool.state(), QProcess::Running);
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(tool.processId()), SIGTERM);
        if (!tool.waitForFinished(10000)) {
            tool.kill();
            tool.waitForFinished();
            QFAIL("tavelo-sync did not end within 10 s of SIGTERM");
        }
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 1);
        QVERIFY(QString::fromLocal8Bit(tool.readAllStandardOutput()).contains("The sync was cancelled"));
        QCOMPARE(readFile(cachePath()), cacheHeader);
#endif
    }

    // --- the cache file on a full disk -------------------------------------------

    // A failed rewrite used to leave a partial file in place of a complete one.
    void fullDiskKeepsThePreviousCacheFile_data()
    {
        QTest::addColumn<bool>("tmpfs");
        QTest::newRow("small tmpfs") << true;
        QTest::newRow("file size limit") << false;
    }

    void fullDiskKeepsThePreviousCacheFile()
    {
#ifndef Q_OS_UNIX
        QSKIP("the full disk is played with Unix means");
#else
        QFETCH(bool, tmpfs);
        QString syncRoot = root;
        if (tmpfs) {
            mountPoint = root + "/small";
            QDir().mkpath(mountPoint);
            if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", mountPoint}) != 0) {
                mountPoint.clear();
                QSKIP("mounting a tmpfs is not permitted here; the file size limit row covers the case");
            }
            syncRoot = mountPoint;
        }
        // The previous complete file, as large as the one a wrangler lost.
        const ClipHasher::Result old = ClipHasher::hashData("old");
        QByteArray previous = cacheHeader;
        for (int i = 0; i < 1502; ++i)
            previous += cacheRecord(QStringLiteral("raw/old/%1.MTS").arg(i), old.md5, old.sha1, i + 1);
        createFile(syncRoot, "dbclient.cache", previous);
        // Empty clips take no blocks; their long paths make long records.
        for (int i = 0; i < 60; ++i)
            createFile(syncRoot, QStringLiteral("raw/%1/%2.MTS").arg(QString(150, 'c')).arg(i, 3, 10, QLatin1Char('0')), "");

        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        void (*savedHandler)(int) = nullptr;
        if (tmpfs) {
            // Leave 4 KiB free: less than the new file needs.
            struct statvfs space {};
            QCOMPARE(::statvfs(QFile::encodeName(syncRoot), &space), 0);
            const qint64 free = qint64(space.f_bavail) * qint64(space.f_frsize);
            createFile(syncRoot, "filler", QByteArray(int(qMax<qint64>(0, free - 4096)), 'f'));
        } else {
            // Writes past 8 KiB fail with EFBIG in this process.
            savedHandler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit small = saved;
            small.rlim_cur = 8 * 1024;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        SyncEngine engine(syncRoot, project);
        const SyncSummary summary = engine.run();
        if (!tmpfs) {
            setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, savedHandler);
        }
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Completed));
        QCOMPARE(summary.inserted, 1);
        QCOMPARE(summary.matched, 59);
        QVERIFY2(summary.cacheError.contains("the previous one is kept"), qPrintable(summary.cacheError));
        QVERIFY(summary.text().contains(summary.cacheError));
        QCOMPARE(summary.exitCode(), 1);
        QVERIFY(readFile(syncRoot + "/dbclient.cache") == previous);
        QVERIFY(!QFile::exists(PartialFile::pathFor(syncRoot + "/dbclient.cache")));
        QVERIFY(!QFile::exists(PartialFile::pathFor(syncRoot + "/dbclient.digests")));
#endif
    }

    // Each run writes a temporary file of its own; what a crashed run of
    // this machine left is removed, another workstation's is kept.
    void temporaryFileLeftByACrashIsRemoved()
    {
        QProcess ended;
        ended.start("sleep", {"0.1"});
        QVERIFY(ended.waitForStarted());
        const qint64 deadPid = ended.processId();
        QVERIFY(ended.waitForFinished());
        const QString crashed = PartialFile::pathFor(cachePath(), PartialFile::hostTag(), deadPid);
        const QString crashedDigests = PartialFile::pathFor(root + "/dbclient.digests", PartialFile::hostTag(), deadPid);
        const QString elsewhere = PartialFile::pathFor(cachePath(), "other-workstation", 4242);
        createFile(root, QFileInfo(crashed).fileName(), "TaveloClient Local Data File\nhalf a rec");
        createFile(root, QFileInfo(crashedDigests).fileName(), "TaveloClient Clip Digests\n1\n");
        createFile(root, QFileInfo(elsewhere).fileName(), "TaveloClient Local Data File\n");
        createFile(root, "raw/a.MTS", "content");
        QCOMPARE(sync().inserted, 1);
        QVERIFY(!QFile::exists(crashed));
        QVERIFY(!QFile::exists(crashedDigests));
        QVERIFY(QFile::exists(elsewhere));
        QVERIFY(!QFile::exists(PartialFile::pathFor(cachePath())));
        const ClipHasher::Result d = ClipHasher::hashData("content");
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/a.MTS", d.md5, d.sha1, 1));
    }

    // --- a server that closes connections ------------------------------------------

    // A clip that took longer to hash than the server's wait_timeout used to
    // stop every run at the same clip with status 3.
    void closedConnectionIsReopenedOnce_data()
    {
        QTest::addColumn<bool>("idle");
        QTest::newRow("killed between two clips") << false;
        QTest::newRow("idle for longer than wait_timeout") << true;
    }

    void closedConnectionIsReopenedOnce()
    {
        QFETCH(bool, idle);
        QList<ClipHasher::Result> digests;
        for (int i = 1; i <= 3; ++i) {
            const QByteArray content = randomBytes(20000, quint32(150 + i));
            digests << ClipHasher::hashData(content);
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i), content);
        }
        SyncEngine engine(root, project);
        if (idle) {
            // The sync's own connection is opened with the short limit; the
            // one it reopens gets the usual value again.
            QSqlQuery limit(check);
            QVERIFY(limit.exec("SELECT @@GLOBAL.wait_timeout") && limit.next());
            waitTimeoutToRestore = limit.value(0).toInt();
            QString error;
            QVERIFY2(TestDb::rootSql("SET GLOBAL wait_timeout = 1", &error), qPrintable(error));
            engine.setHashFunction(pausingHash(2500));
            connect(&engine, &SyncEngine::clipFinished, this, [this](const SyncClipResult &clip) {
                if (clip.path == "raw/1.MTS")
                    restoreWaitTimeout();
            });
        } else {
            const QStringList before = TestDb::connectionIds(check);
            engine.setHashFunction(pausingHash(300));
            connect(&engine, &SyncEngine::clipFinished, this, [this, before](const SyncClipResult &clip) {
                if (clip.path == "raw/1.MTS")
                    killSyncConnection(before);
            });
        }
        const SyncSummary summary = engine.run();
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Completed));
        QCOMPARE(summary.inserted, 3);
        QCOMPARE(summary.reconnects, 1);
        QCOMPARE(summary.exitCode(), 0);
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/1.MTS", digests[0].md5, digests[0].sha1, 1)
                                            + cacheRecord("raw/2.MTS", digests[1].md5, digests[1].sha1, 2)
                                            + cacheRecord("raw/3.MTS", digests[2].md5, digests[2].sha1, 3));
        QCOMPARE(shotRows().size(), 3);
    }

    // --- quick re-sync -------------------------------------------------------------

    void quickResync_data()
    {
        QTest::addColumn<QString>("change");      // what happens to raw/A/2.MTS between the runs
        QTest::addColumn<bool>("changedOnly");
        QTest::addColumn<int>("hashed");           // clips read by the second run
        QTest::addColumn<bool>("newContentSeen");  // the second run found 2.MTS's new content
        QTest::newRow("unchanged") << "none" << true << 0 << false;
        QTest::newRow("touched") << "touch" << true << 1 << false;
        QTest::newRow("resized") << "append" << true << 1 << true;
        // The documented limit: same size, same modification time.
        QTest::newRow("replaced with equal size and time is NOT detected") << "replace" << true << 0 << false;
        QTest::newRow("full sync detects the replacement") << "replace" << false << 3 << true;
        QTest::newRow("modified when it was hashed, or later") << "fresh" << true << 1 << false;
        QTest::newRow("damaged digest file") << "damage" << true << 3 << false;
        QTest::newRow("no digest file") << "remove" << true << 3 << false;
    }

    void quickResync()
    {
        QFETCH(QString, change);
        QFETCH(bool, changedOnly);
        QFETCH(int, hashed);
        QFETCH(bool, newContentSeen);
        const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
        QStringList paths;
        for (int i = 1; i <= 3; ++i) {
            paths << createFile(root, QStringLiteral("raw/A/%1.MTS").arg(i), randomBytes(100000, quint32(200 + i)));
            // A time stamp ahead of the read (a share whose clock runs
            // ahead) stands for one that had not settled: always read again.
            setModified(paths.last(), change == "fresh" && i == 2 ? anHourAgo.addSecs(7200) : anHourAgo);
        }
        QCOMPARE(sync().inserted, 3);
        const QByteArray firstCache = readFile(cachePath());
        QVERIFY(readFile(root + "/dbclient.digests").startsWith("TaveloClient Clip Digests\n1\n"));

        const QString clip = paths.at(1);
        const QByteArray newContent = randomBytes(100000, 299);
        if (change == "touch") {
            setModified(clip, anHourAgo.addSecs(600));
        } else if (change == "append") {
            QFile file(clip);
            QVERIFY(file.open(QIODevice::Append));
            file.write("more");
            file.close();
            setModified(clip, anHourAgo);
        } else if (change == "replace") {
            createFile(root, "raw/A/2.MTS", newContent);
            setModified(clip, anHourAgo);
        } else if (change == "damage") {
            createFile(root, "dbclient.digests", "TaveloClient Clip Digests\n1\n12\tnot a number\n");
        } else if (change == "remove") {
            QVERIFY(QFile::remove(root + "/dbclient.digests"));
        }

        auto reads = std::make_shared<std::atomic<int>>(0);
        const SyncEngine::HashFunction counting = [reads](const QString &path, const std::atomic_bool *cancel,
                                                          const ClipHasher::ProgressFunction &progress) {
            ++*reads;
            return ClipHasher().hashFile(path, cancel, progress);
        };
        SyncEngine engine(root, project);
        engine.setChangedOnly(changedOnly);
        engine.setHashFunction(counting);
        const SyncSummary summary = engine.run();
        QCOMPARE(summary.exitCode(), 0);
        QCOMPARE(reads->load(), hashed);
        QCOMPARE(summary.remembered, changedOnly ? 3 - hashed : 0);
        QCOMPARE(summary.found, 3);
        QCOMPARE(summary.inserted, newContentSeen ? 1 : 0);
        QCOMPARE(readFile(cachePath()).count("MTS File"), 3);
        if (changedOnly)
            QVERIFY2(summary.text().contains(QStringLiteral("%1 clips were taken from the previous sync").arg(3 - hashed)),
                     qPrintable(summary.text()));
        if (change == "damage" || change == "remove")
            QVERIFY2(summary.text().contains("Every clip was read: "), qPrintable(summary.text()));
        if (change == "none" || change == "touch" || change == "fresh")
            QCOMPARE(readFile(cachePath()), firstCache);
        const QByteArray newMd5 = ClipHasher::hashData(newContent).md5;
        QCOMPARE(readFile(cachePath()).contains(newMd5), change == "replace" && newContentSeen);

        // Every clip hashed, in either mode, is remembered: a third run reads
        // nothing (but the clip that had not settled when it was read).
        *reads = 0;
        SyncEngine third(root, project);
        third.setChangedOnly(true);
        third.setHashFunction(counting);
        QCOMPARE(third.run().exitCode(), 0);
        QCOMPARE(reads->load(), change == "fresh" ? 1 : 0);
    }

    void companionChangedOnly()
    {
        for (int i = 1; i <= 2; ++i)
            setModified(createFile(root, QStringLiteral("raw/%1.MTS").arg(i), randomBytes(30000, quint32(300 + i))),
                        QDateTime::currentDateTime().addSecs(-3600));
        const QStringList arguments = QStringList{"--root", root, "--project", QString::number(project), "--changed-only"}
            + serverArguments();
        int exitCode = -1;
        QString out = syncToolOutput(arguments, exitCode, nullptr, passwordEnvironment());
        QCOMPARE(exitCode, 0);
        QVERIFY2(out.contains("0 clips were taken from the previous sync"), qPrintable(out));
        out = syncToolOutput(arguments, exitCode, nullptr, passwordEnvironment());
        QCOMPARE(exitCode, 0);
        QVERIFY2(out.contains("2 clips were taken from the previous sync"), qPrintable(out));
        QVERIFY(out.contains("matched   1  raw/1.MTS"));
    }

    void changedOnlyChoiceIsRememberedPerUser()
    {
        {
            ProjectSelector chooser;
            auto *box = chooser.findChild<QCheckBox *>("changedOnlyBox");
            QVERIFY(box);
            QCOMPARE(box->text(), QStringLiteral("Only new or changed clips"));
            QVERIFY(!box->isChecked());   // a full verification stays the default
            box->setChecked(true);
        }
        {
            ProjectSelector chooser;
            auto *box = chooser.findChild<QCheckBox *>("changedOnlyBox");
            QVERIFY(box->isChecked());
            box->setChecked(false);
        }
        ProjectSelector chooser;
        QVERIFY(!chooser.findChild<QCheckBox *>("changedOnlyBox")->isChecked());
    }

    // --- the client's window -------------------------------------------------

    void syncWindowFromTheChooser()
    {
        const QByteArray content = randomBytes(100000, 81);
        createFile(root, "raw/CardA/00001.MTS", content);
        createFile(root, "raw/CardA/00002.MTS", "other");
        QVERIFY(QDir::setCurrent(root));
        ProjectSelector chooser;
        QString shownSummary;
        whenModal("ProjectSelector", [&](QWidget *) {
            whenModal("PopulateDB", [&](QWidget *window) {
                auto *button = window->findChild<QPushButton *>("cancelButton");
                QTRY_COMPARE(button->text(), QStringLiteral("Close"));
                shownSummary = window->findChild<QLabel *>("countsLabel")->text();
                saveScreenshot(window, "sync-summary");
                button->click();
            });
            chooser.findChild<QPushButton *>("syncButton")->click();
            chooser.reject();
        });
        chooser.exec();
        QCOMPARE(shownSummary, QStringLiteral("Found 2 clips for project \"Harbour Documentary\": 0 matched, 2 "
                                              "inserted, 0 skipped."));
        QCOMPARE(ClientState::instance()->projectId, project);
        QCOMPARE(shotRows().size(), 2);
        QCOMPARE(readFile(cachePath()).count("MTS File"), 2);
    }

    void cancelInTheWindowActsAtOnce()
    {
        for (int i = 1; i <= 3; ++i)
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i), randomBytes(32 * 1024 * 1024, quint32(90 + i)));
        createFile(root, "raw/0.MTS", ""); // may be done before the Cancel arrives
        QVERIFY(QDir::setCurrent(root));
        ClientState::instance()->projectId = project;
        PopulateDB window;
        QString details;
        whenModal("PopulateDB", [&](QWidget *shown) {
            auto *button = shown->findChild<QPushButton *>("cancelButton");
            QCOMPARE(button->text(), QStringLiteral("Cancel"));
            // Mid-clip (before the project is checked, nothing is written).
            QTRY_VERIFY(!window.findChild<SyncEngine *>()->progress().currentClip.isEmpty());
            QElapsedTimer clock;
            clock.start();
            button->click();
            // Answered within about a second (the window never waits).
            QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Close"), 3000);
            QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
            details = shown->findChild<QPlainTextEdit *>("detailsView")->toPlainText();
            saveScreenshot(shown, "sync-cancelled");
            button->click();
        });
        const SyncSummary summary = window.run();
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Cancelled));
        QVERIFY(details.contains("cancelled"));
        const QByteArray cache = readFile(cachePath());
        QVERIFY(cache.startsWith(cacheHeader));
        QCOMPARE(cache.count("MTS File"), summary.matched + summary.inserted);
        QVERIFY(cache.endsWith(eol + eol));
    }

    // --- tavelo-sync -------------------------------------------------------------

    void companionBadUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no arguments") << QStringList() << "--project ID is required";
        QTest::newRow("unknown option") << QStringList{"--project", "1", "--frobnicate"} << "frobnicate";
        QTest::newRow("project not a number") << QStringList{"--project", "abc"} << "positive whole number";
        QTest::newRow("missing option value") << QStringList{"--project"} << "project";
        QTest::newRow("stray argument") << QStringList{"--project", "1", "extra"} << "unexpected argument";
        QTest::newRow("root not a directory") << QStringList{"--project", "1", "--root", "/nonexistent/dir"} << "does not exist";
        QTest::newRow("bad server text") << QStringList{"--project", "1", "--root", ".", "--server", "host:99999"} << "port";
    }

    void companionBadUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        int exitCode = 0;
        QString errors;
        syncToolOutput(arguments, exitCode, &errors);
        QCOMPARE(exitCode, 2);
        QVERIFY2(errors.contains(message), qPrintable(errors));
        QVERIFY(!QFile::exists(cachePath()));
    }

    void companionHelp()
    {
        int exitCode = -1;
        const QString out = syncToolOutput({"--help"}, exitCode);
        QCOMPARE(exitCode, 0);
        QVERIFY(out.contains("--project"));
        QVERIFY(out.contains("TAVELO_DB_PASSWORD"));
        QVERIFY(out.contains("--changed-only"));
        QVERIFY(out.contains("goes unnoticed"));
    }

    void companionRefuses_data()
    {
        QTest::addColumn<QString>("case_");
        QTest::newRow("wrong password") << "password";
        QTest::newRow("project that does not exist") << "project";
    }

    void companionRefuses()
    {
        QFETCH(QString, case_);
        createFile(root, "raw/a.MTS", "content");
        QProcessEnvironment environment;
        environment.insert("TAVELO_DB_PASSWORD", case_ == "password" ? "wrong" : TestDb::password());
        const QString projectText = QString::number(case_ == "project" ? project + otherProject + 100 : project);
        int exitCode = 0;
        QString errors;
        syncToolOutput(QStringList{"--root", root, "--project", projectText} + serverArguments(), exitCode,
                       &errors, environment);
        QCOMPARE(exitCode, 2);
        QVERIFY2(errors.contains(case_ == "password" ? "cannot connect" : "no project with id"), qPrintable(errors));
        QVERIFY(!QFile::exists(cachePath()));
        QVERIFY(shotRows().isEmpty());
    }

    void companionSyncs()
    {
        const QByteArray content = randomBytes(60000, 101);
        createFile(root, "raw/A/1.MTS", content);
        createFile(root, "raw/B/2.MTS", content);
        int exitCode = -1;
        QString errors;
        const QString out = syncToolOutput(QStringList{"--root", root, "--project", QString::number(project)}
                                               + serverArguments(),
                                           exitCode, &errors, passwordEnvironment());
        QCOMPARE(exitCode, 0);
        // The content is read once for its media, and is no video.
        QCOMPARE(out, QStringLiteral("inserted  1  raw/A/1.MTS\nmatched   1  raw/B/2.MTS\n"
                                     "Found 2 clips for project \"Harbour Documentary\": 1 matched, 1 inserted, "
                                     "0 skipped.\n"
                                     "Media read for 1 clips: 0 posters, 1 not readable as video.\n"
                                     "No media facts for raw/A/1.MTS: not a video\n"));
        QVERIFY2(errors.contains(" No Matching Rows for this file.  Inserting it into DB."), qPrintable(errors));
        const ClipHasher::Result d = ClipHasher::hashData(content);
        QCOMPARE(readFile(cachePath()), cacheHeader + cacheRecord("raw/A/1.MTS", d.md5, d.sha1, 1)
                                            + cacheRecord("raw/B/2.MTS", d.md5, d.sha1, 1));
    }

    void companionStopsWithStatus3WhenTheConnectionIsLost()
    {
        createFile(root, "raw/1.MTS", "a small first clip");
        // Large enough that its hashing outlasts the kill below.
        createFile(root, "raw/2.MTS", QByteArray(200 * 1024 * 1024, 'x'));
        createFile(root, "raw/3.MTS", "a third clip");
        // The test's own connections (and the client's database thread,
        // when an earlier test started one): every one but the tool's.
        QSqlQuery ids(check);
        QVERIFY(ids.exec(QStringLiteral("SELECT id FROM information_schema.processlist WHERE user = '%1'")
                             .arg(TestDb::user())));
        QStringList before;
        while (ids.next())
            before << ids.value(0).toString();

        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TAVELO_DB_PASSWORD", TestDb::password());
        tool.setProcessEnvironment(environment);
        tool.start(TAVELO_SYNC_PATH, QStringList{"--root", root, "--project", QString::number(project)} + serverArguments());
        QVERIFY(tool.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(tool.canReadLine() || tool.state() == QProcess::NotRunning, 30000);
        QCOMPARE(tool.readLine(), QByteArray("inserted  1  raw/1.MTS\n"));
        QSqlQuery others(check);
        QVERIFY(others.exec(QStringLiteral("SELECT id FROM information_schema.processlist WHERE user = '%1' "
                                           "AND id NOT IN (%2)")
                                .arg(TestDb::user(), before.join(','))));
        QVERIFY(others.next());
        const QString toolId = others.value(0).toString();
        QVERIFY(!others.next());
        // It reopens a connection the server closed, once; here that fails.
        refuseNewConnections();
        QVERIFY(QSqlQuery(check).exec("KILL CONNECTION " + toolId));
        QVERIFY(tool.waitForFinished(60000));
        const QString out = QString::fromLocal8Bit(tool.readAllStandardOutput());
        QCOMPARE(tool.exitCode(), 3);
        QVERIFY2(out.contains("The connection to the database was lost at raw/2.MTS"), qPrintable(out));
        QVERIFY2(out.contains("Reopening it failed"), qPrintable(out));
        QCOMPARE(readFile(cachePath()).count("MTS File"), 1);
        QCOMPARE(shotRows().size(), 1);
    }

    void companionTakesTheClientSettings()
    {
        createFile(root, "raw/a.MTS", "content");
#ifdef Q_OS_LINUX
        QVERIFY(QFile::link("/proc/self/mem", root + "/raw/b.MTS"));
#endif
        {
            QSettings settings(root + "/config/Corvanest/Tavelo Client.conf", QSettings::IniFormat);
            settings.setValue("Connection/server", TestDb::serverText());
            settings.setValue("Connection/db", TestDb::name());
            settings.setValue("Connection/username", TestDb::user());
            settings.setValue("Connection/pw", TestDb::password());
            settings.setValue("Connection/rootpath", root);
        }
        int exitCode = -1;
        const QString out = syncToolOutput({"--project", QString::number(project)}, exitCode);
#ifdef Q_OS_LINUX
        QCOMPARE(exitCode, 1);
        QVERIFY2(out.contains("skipped   raw/b.MTS: cannot be read"), qPrintable(out));
        QVERIFY(out.contains("Skipped raw/b.MTS: cannot be read"));
#else
        QCOMPARE(exitCode, 0);
#endif
        QVERIFY(out.contains("inserted  1  raw/a.MTS"));
        QCOMPARE(readFile(cachePath()).count("MTS File"), 1);
    }
};

QTEST_MAIN(TestSync)
#include "tst_sync.moc"
