// The sync's database half against the real server: clips recorded in
// batches with few statements, ids read back by digests however the server
// numbers its rows, equal clips of one batch sharing a shot, a refused row
// skipping only its clip; and one sync per root at a time, with each run's
// temporary files its own.

#include "app/clientstate.h"
#include "projects/cliphasher.h"
#include "projects/syncengine.h"
#include "files/synclock.h"
#include "syncfiles.h"
#include "testsupport.h"
#include "files/partialfile.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <future>

#ifdef Q_OS_UNIX
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A sparse clip of size bytes, distinct by its first bytes; slow to hash.
void createSparseClip(const QString &root, const QString &path, qint64 size, const QByteArray &head)
{
    const QString full = createFile(root, path, head);
    QFile file(full);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(size));
}

// The records of a cache file: path, MD5, SHA-1, shot id.
QList<QStringList> cacheRecords(const QByteArray &cache)
{
    QList<QStringList> records;
    const QList<QByteArray> lines = cache.split('\n');
    for (int i = 0; i + 4 < lines.size(); ++i) {
        if (lines.at(i) == "MTS File") {
            records << QStringList{QString::fromUtf8(lines.at(i + 1)), QString::fromLatin1(lines.at(i + 2)),
                                   QString::fromLatin1(lines.at(i + 3)), QString::fromLatin1(lines.at(i + 4))};
            i += 4;
        }
    }
    return records;
}

// Hashes as usual, but waits on release before the clip named stuck.
SyncEngine::HashFunction waitingHash(const QString &stuck, const std::shared_future<void> &release,
                                     const std::shared_ptr<std::atomic_bool> &reached)
{
    return [stuck, release, reached](const QString &path, const std::atomic_bool *cancel,
                                      const ClipHasher::ProgressFunction &progress) {
        if (path.endsWith(stuck)) {
            *reached = true;
            release.wait();
        }
        return ClipHasher().hashFile(path, cancel, progress);
    };
}

} // namespace

class TestRecorder : public QObject
{
    Q_OBJECT

private:
    QSqlDatabase db;
    QSqlDatabase check;
    int project = 0;
    QScopedPointer<QTemporaryDir> rootDir;
    QString root;

    QString cachePath() const { return root + "/dbclient.cache"; }

    qint64 serverCounter(const char *name)
    {
        QSqlQuery query(check);
        if (!query.exec(QStringLiteral("SHOW GLOBAL STATUS LIKE '%1'").arg(QLatin1String(name))) || !query.next())
            return -1;
        return query.value(1).toLongLong();
    }

    QHash<QString, int> idsByFilename()
    {
        QHash<QString, int> ids;
        QSqlQuery query(check);
        query.exec("SELECT id, filename FROM shots");
        while (query.next())
            ids.insert(query.value(1).toString(), query.value(0).toInt());
        return ids;
    }

    // tavelo-sync on syncRoot; run by the program in front, with its
    // arguments, when given.
    QProcess *startCompanion(const QString &syncRoot, QObject *parent, const QStringList &front = {})
    {
        auto *tool = new QProcess(parent);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TAVELO_DB_PASSWORD", TestDb::password());
        environment.insert("XDG_CONFIG_HOME", syncRoot + "/../config");
        tool->setProcessEnvironment(environment);
        const QStringList arguments = {"--root", syncRoot, "--project", QString::number(project), "--no-media",
                                       "--server", TestDb::serverText(), "--database", TestDb::name(), "--user",
                                       TestDb::user()};
        if (front.isEmpty())
            tool->start(TAVELO_SYNC_PATH, arguments);
        else
            tool->start(front.first(), front.mid(1) + QStringList{TAVELO_SYNC_PATH} + arguments);
        return tool;
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
    }

    void init()
    {
        QVERIFY(TestDb::reset(check));
        QSqlQuery(check).exec("DELETE FROM shot_media");
        QSqlQuery(check).exec("DELETE FROM shot_posters");
        project = TestDb::addProject(check, "Harbour Documentary", QVariant());
        QVERIFY(project);
        rootDir.reset(new QTemporaryDir);
        QVERIFY(rootDir->isValid());
        root = rootDir->path() + "/root";
        QVERIFY(QDir().mkpath(root));
    }

    void cleanup()
    {
        QSqlQuery(check).exec("DROP TRIGGER IF EXISTS shots_scattered_ids");
        QSqlQuery(check).exec("DROP TABLE IF EXISTS id_counter");
    }

    // --- batches -------------------------------------------------------------

    // Each clip used to cost a lookup and an insert of its own (four round
    // trips with their prepares); a batch now costs a few statements.
    void manyClipsTakeFewStatements()
    {
        constexpr int count = 1200;
        for (int i = 0; i < count; ++i)
            createFile(root, QStringLiteral("raw/Card%1/%2.MTS").arg(i / 400).arg(i, 5, 10, QLatin1Char('0')),
                       "clip number " + QByteArray::number(i));
        const qint64 before = serverCounter("Com_stmt_execute");
        SyncEngine engine(root, project);
        engine.setMediaEnabled(false);
        const SyncSummary summary = engine.run();
        const qint64 executed = serverCounter("Com_stmt_execute") - before;
        QCOMPARE(summary.exitCode(), 0);
        QCOMPARE(summary.inserted, count);
        QVERIFY2(executed < 40, qPrintable(QStringLiteral("%1 statements for %2 clips").arg(executed).arg(count)));

        // Every record names the row its clip has.
        const QHash<QString, int> ids = idsByFilename();
        const QList<QStringList> records = cacheRecords(readFile(cachePath()));
        QCOMPARE(records.size(), count);
        for (const QStringList &record : records)
            QCOMPARE(record.at(3).toInt(), ids.value(record.at(0)));

        // All matching: as few again.
        const qint64 again = serverCounter("Com_stmt_execute");
        SyncEngine second(root, project);
        second.setMediaEnabled(false);
        QCOMPARE(second.run().matched, count);
        QVERIFY(serverCounter("Com_stmt_execute") - again < 20);
        QCOMPARE(readFile(cachePath()).count("MTS File"), count);
    }

    // The server here numbers new rows downwards, seven apart: ids read back
    // by digests are right, ids assumed consecutive would not be.
    void idsAreReadBackByDigests()
    {
        QSqlQuery setup(check);
        QVERIFY2(setup.exec("CREATE TABLE id_counter (n INT NOT NULL)") && setup.exec("INSERT INTO id_counter VALUES (0)"),
                 qPrintable(setup.lastError().text()));
        QVERIFY2(setup.exec("CREATE TRIGGER shots_scattered_ids BEFORE INSERT ON shots FOR EACH ROW BEGIN "
                            "UPDATE id_counter SET n = n + 7; SET NEW.id = 900000 - (SELECT n FROM id_counter); END"),
                 qPrintable(setup.lastError().text()));
        for (int i = 0; i < 30; ++i)
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i, 2, 10, QLatin1Char('0')),
                       "content " + QByteArray::number(i % 20));
        SyncEngine engine(root, project);
        engine.setMediaEnabled(false);
        const SyncSummary summary = engine.run();
        QCOMPARE(summary.exitCode(), 0);
        QCOMPARE(summary.inserted, 20);
        QCOMPARE(summary.matched, 10);
        const QHash<QString, int> ids = idsByFilename();
        QCOMPARE(ids.size(), 20);
        const QList<QStringList> records = cacheRecords(readFile(cachePath()));
        QCOMPARE(records.size(), 30);
        for (int i = 0; i < 30; ++i) {
            // Clip i holds the content of clip i % 20, whose row was inserted.
            const QString owner = QStringLiteral("raw/%1.MTS").arg(i % 20, 2, 10, QLatin1Char('0'));
            QCOMPARE(records.at(i).at(3).toInt(), ids.value(owner));
        }
        QCOMPARE(ids.value("raw/00.MTS"), 900000 - 7);
    }

    // Equal clips in one batch share one shot, as they would one after
    // another, and the trace lines are those of the one-by-one sync.
    void equalClipsOfABatchShareOneShot()
    {
        createFile(root, "raw/a.MTS", "the same take");
        createFile(root, "raw/b.MTS", "the same take");
        createFile(root, "raw/c.MTS", "another take");
        createFile(root, "raw/d.MTS", "the same take");
        const ClipHasher::Result same = ClipHasher::hashData("the same take");
        const ClipHasher::Result other = ClipHasher::hashData("another take");
        SyncSummary summary;
        QStringList traces;
        {
            const DebugTraces kept;
            SyncEngine engine(root, project);
            engine.setMediaEnabled(false);
            summary = engine.run();
            traces = kept.lines();
        }
        QCOMPARE(summary.inserted, 2);
        QCOMPARE(summary.matched, 2);
        QCOMPARE(traces, QStringList({"raw/a.MTS", " MD5 :  " + same.md5, " SHA1:  " + same.sha1, "Query Size:  0",
                                      " No Matching Rows for this file.  Inserting it into DB.", "ID =  1",
                                      "raw/b.MTS", " MD5 :  " + same.md5, " SHA1:  " + same.sha1, "Query Size:  1",
                                      " Match found for this file.  Updating local cache with id :  1",
                                      "raw/c.MTS", " MD5 :  " + other.md5, " SHA1:  " + other.sha1, "Query Size:  0",
                                      " No Matching Rows for this file.  Inserting it into DB.", "ID =  2",
                                      "raw/d.MTS", " MD5 :  " + same.md5, " SHA1:  " + same.sha1, "Query Size:  1",
                                      " Match found for this file.  Updating local cache with id :  1"}));
        const QList<QStringList> records = cacheRecords(readFile(cachePath()));
        QCOMPARE(records.size(), 4);
        QCOMPARE(records.at(1).at(3), QStringLiteral("1"));
        QCOMPARE(records.at(3).at(3), QStringLiteral("1"));
    }

    // A row the server refuses skips its clip only; an equal clip after it
    // in the same batch gets a row of its own, as it would one by one.
    void refusedRowSkipsOnlyItsClip()
    {
        const QString longPath = "raw/" + QString(200, 'd') + "/" + QString(200, 'e') + "/" + QString(150, 'f') + ".MTS";
        createFile(root, longPath, "the take behind a long name");
        createFile(root, "raw/short.MTS", "the take behind a long name");
        for (int i = 0; i < 5; ++i)
            createFile(root, QStringLiteral("raw/x%1.MTS").arg(i), "other take " + QByteArray::number(i));
        SyncEngine engine(root, project);
        engine.setMediaEnabled(false);
        const SyncSummary summary = engine.run();
        QCOMPARE(summary.inserted, 6);
        QCOMPARE(summary.skipped, 1);
        QCOMPARE(summary.skippedClips.first().first, longPath);
        QVERIFY2(summary.skippedClips.first().second.contains("refused the new shot"),
                 qPrintable(summary.skippedClips.first().second));
        const QHash<QString, int> ids = idsByFilename();
        QVERIFY(ids.contains("raw/short.MTS"));
        QCOMPARE(ids.size(), 6);
        QCOMPARE(cacheRecords(readFile(cachePath())).size(), 6);
    }

    // --- one sync per root -----------------------------------------------------

    // Two syncs of one root used to write the same temporary cache file: one
    // run ended with status 0 leaving an empty dbclient.cache, the other
    // reported a failure although its file was in place. The second is now
    // refused before it writes anything, and the first completes.
    void secondSyncOfARootIsRefused_data()
    {
        QTest::addColumn<bool>("companion");
        QTest::newRow("a second engine in the client") << false;
        QTest::newRow("tavelo-sync beside the client") << true;
    }

    void secondSyncOfARootIsRefused()
    {
        QFETCH(bool, companion);
        for (int i = 1; i <= 4; ++i)
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i), "take " + QByteArray::number(i));
        auto release = std::make_shared<std::promise<void>>();
        auto reached = std::make_shared<std::atomic_bool>(false);
        SyncEngine first(root, project);
        first.setMediaEnabled(false);
        first.setHashFunction(waitingHash("/3.MTS", release->get_future().share(), reached));
        first.start();
        QTRY_VERIFY(reached->load());
        QVERIFY(QFile::exists(root + "/" + SyncLock::fileName));

        QString refusal;
        if (companion) {
            QScopedPointer<QProcess> tool(startCompanion(root, nullptr));
            QVERIFY(tool->waitForFinished(60000));
            QCOMPARE(tool->exitCode(), 2);
            refusal = QString::fromLocal8Bit(tool->readAllStandardError());
            QVERIFY(QString::fromLocal8Bit(tool->readAllStandardOutput()).isEmpty());
        } else {
            SyncEngine second(root, project);
            const SyncSummary summary = second.run();
            QCOMPARE(int(summary.status), int(SyncSummary::Status::Refused));
            QCOMPARE(summary.exitCode(), 2);
            refusal = summary.error;
        }
        QVERIFY2(refusal.contains("Another sync of " + QDir::toNativeSeparators(root) + " is running"), qPrintable(refusal));
        QVERIFY2(refusal.contains(QStringLiteral("process %1 on %2").arg(QCoreApplication::applicationPid()).arg(PartialFile::hostTag())),
                 qPrintable(refusal));
        QVERIFY(!QFile::exists(cachePath()));

        release->set_value();
        QSignalSpy finished(&first, &SyncEngine::finished);
        QVERIFY(finished.wait(30000));
        QCOMPARE(first.summary().exitCode(), 0);
        QCOMPARE(first.summary().inserted, 4);
        QCOMPARE(cacheRecords(readFile(cachePath())).size(), 4);
        QVERIFY(!QFile::exists(root + "/" + SyncLock::fileName));
        QCOMPARE(QDir(root).entryList({"*.partial"}, QDir::Files | QDir::Hidden), QStringList());

        // Free again once the first has ended.
        SyncEngine third(root, project);
        third.setMediaEnabled(false);
        QCOMPARE(third.run().matched, 4);
    }

    // Two companions started together on one root: one syncs, the other is
    // refused; the cache file is complete, and neither reports falsely.
    void twoCompanionsAtOnce()
    {
#ifndef Q_OS_UNIX
        QSKIP("sparse files are made the Unix way here");
#else
        for (int i = 1; i <= 3; ++i)
            createSparseClip(root, QStringLiteral("raw/%1.MTS").arg(i), 300 * 1024 * 1024, "take " + QByteArray::number(i));
        QObject owner;
        QProcess *a = startCompanion(root, &owner);
        QProcess *b = startCompanion(root, &owner);
        QVERIFY(a->waitForFinished(120000) && b->waitForFinished(120000));
        const QList<int> codes = {a->exitCode(), b->exitCode()};
        const QString errors = QString::fromLocal8Bit((a->exitCode() == 2 ? a : b)->readAllStandardError());
        QVERIFY2(codes.contains(0) && codes.contains(2), qPrintable(errors));
        QVERIFY2(errors.contains("Another sync of"), qPrintable(errors));
        QCOMPARE(cacheRecords(readFile(cachePath())).size(), 3);
        QVERIFY(!QFile::exists(root + "/" + SyncLock::fileName));
#endif
    }

    // A sync killed mid-run leaves its lock file and its temporary cache:
    // the lock went with its process, and the next run removes the file it
    // was writing.
    void killedSyncBlocksNothing()
    {
#ifndef Q_OS_UNIX
        QSKIP("kill -9 is a Unix matter");
#else
        createFile(root, "raw/1.MTS", "a small take");
        createSparseClip(root, "raw/2.MTS", qint64(8) * 1024 * 1024 * 1024, "a long take");
        QObject owner;
        QProcess *tool = startCompanion(root, &owner);
        QVERIFY(tool->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(tool->canReadLine(), 30000);   // the first clip is recorded
        const qint64 pid = tool->processId();
        const QString partial = PartialFile::pathFor(cachePath(), PartialFile::hostTag(), pid);
        QVERIFY(QFile::exists(partial));
        QVERIFY(QFile::exists(root + "/" + SyncLock::fileName));
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(tool->waitForFinished(10000));
        QVERIFY(QFile::exists(root + "/" + SyncLock::fileName));

        QFile::remove(root + "/raw/2.MTS");
        SyncEngine next(root, project);
        next.setMediaEnabled(false);
        const SyncSummary summary = next.run();
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Completed));
        QCOMPARE(summary.matched, 1);
        QVERIFY(!QFile::exists(partial));
        QVERIFY(!QFile::exists(root + "/" + SyncLock::fileName));
        QCOMPARE(cacheRecords(readFile(cachePath())).size(), 1);
#endif
    }

    // Regression: on a root its group may write, user A's sync made the lock
    // file with A's umask (022), so user B's sync could not open it, went on
    // without the lock beside A's, and both ended with status 0. B's sync
    // is refused now, naming the file's owner and why, and writes nothing;
    // also when A's sync crashed and left the file behind.
    void lockFileOfAnotherUserRefusesTheSync_data()
    {
        QTest::addColumn<bool>("held");
        QTest::newRow("held by that user's sync") << true;
        QTest::newRow("left behind by that user's crashed sync") << false;
    }

    void lockFileOfAnotherUserRefusesTheSync()
    {
#ifndef Q_OS_UNIX
        QSKIP("file owners and permissions are tested on Unix");
#else
        // Root gives the file to another user, and B is a sync without the
        // capabilities with which root writes any file.
        if (!ignoresPermissions())
            QSKIP("giving a file to another user needs root");
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is missing");
        QFETCH(bool, held);
        for (int i = 1; i <= 3; ++i)
            createFile(root, QStringLiteral("raw/%1.MTS").arg(i), "take " + QByteArray::number(i));
        const QString lockPath = root + "/" + SyncLock::fileName;
        auto release = std::make_shared<std::promise<void>>();
        auto reached = std::make_shared<std::atomic_bool>(false);
        SyncEngine first(root, project);
        first.setMediaEnabled(false);
        if (held) {
            first.setHashFunction(waitingHash("/3.MTS", release->get_future().share(), reached));
            first.start();
            QTRY_VERIFY(reached->load());
        } else {
            createFile(root, SyncLock::fileName, "tavelo-sync\t4242\tws-2\t2026-03-17 14:02:11\n");
        }
        // As A's sync leaves it with a umask of 022, A being nobody here.
        const QByteArray lockName = QFile::encodeName(lockPath);
        QCOMPARE(::chmod(lockName.constData(), 0644), 0);
        QCOMPARE(::chown(lockName.constData(), 65534, 65534), 0);
        const passwd *owner = ::getpwuid(65534);
        QVERIFY(owner);
        const QString ownerName = QString::fromLocal8Bit(owner->pw_name);
        const int rowsBefore = int(idsByFilename().size());

        QScopedPointer<QProcess> tool(
            startCompanion(root, nullptr, {setpriv, "--bounding-set=-dac_override,-dac_read_search"}));
        QVERIFY(tool->waitForStarted());
        const qint64 pid = tool->processId();
        QVERIFY(tool->waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(tool->readAllStandardError());
        QCOMPARE(tool->exitCode(), 2);
        QVERIFY2(errors.contains("its lock file " + QDir::toNativeSeparators(lockPath) + " belongs to " + ownerName
                                 + ", and this user may not write it (Permission denied)"),
                 qPrintable(errors));
        if (held)
            QVERIFY2(errors.contains("Another sync of " + QDir::toNativeSeparators(root) + " is running (")
                         && errors.contains(QStringLiteral("process %1 on").arg(QCoreApplication::applicationPid())),
                     qPrintable(errors));
        else
            QVERIFY2(errors.contains("Ask " + ownerName + " or an administrator to remove the file"), qPrintable(errors));
        QVERIFY(QString::fromLocal8Bit(tool->readAllStandardOutput()).isEmpty());
        if (held) {
            // The sync that holds the lock may commit the clips it has read
            // meanwhile, never the one it waits on: a row for that one would
            // be the refused sync's.
            QVERIFY(!idsByFilename().contains(QStringLiteral("raw/3.MTS")));
        } else {
            QCOMPARE(int(idsByFilename().size()), rowsBefore);
        }
        QVERIFY(!QFile::exists(PartialFile::pathFor(cachePath(), PartialFile::hostTag(), pid)));
        QVERIFY(!QFile::exists(cachePath()));

        if (held) {
            release->set_value();
            QSignalSpy finished(&first, &SyncEngine::finished);
            QVERIFY(finished.wait(30000));
            QCOMPARE(first.summary().exitCode(), 0);
            QVERIFY(!QFile::exists(lockPath));
        } else {
            QVERIFY(QFile::remove(lockPath)); // as the message says
            QCOMPARE(first.run().exitCode(), 0);
        }
        QCOMPARE(cacheRecords(readFile(cachePath())).size(), 3);
#endif
    }

    void lockOfAnotherRootIsNoConcern()
    {
        const QString otherRoot = rootDir->path() + "/other";
        QVERIFY(QDir().mkpath(otherRoot));
        SyncLock held;
        QCOMPARE(int(held.take(otherRoot)), int(SyncLock::Result::Taken));
        SyncLock mine;
        QCOMPARE(int(mine.take(root)), int(SyncLock::Result::Taken));
        SyncLock again;
        QCOMPARE(int(again.take(root)), int(SyncLock::Result::Held));
        mine.release();
        QCOMPARE(int(again.take(root)), int(SyncLock::Result::Taken));
    }
};

QTEST_MAIN(TestRecorder)
#include "tst_recorder.moc"
