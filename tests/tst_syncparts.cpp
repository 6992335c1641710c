// The sync's parts that need no server and no screen: the clip digests
// (known vectors, block and ring boundaries, the system's own tools, and
// files that vanish, grow, are cancelled or are no regular file while they
// are read), the clip walk (which files below a root are clips), and the
// cache file's writer (its bytes, and the previous file kept whole until the
// new one takes its place).

#include "coretestsupport.h"
#include "projects/cachefile.h"
#include "files/clipfinder.h"
#include "projects/cliphasher.h"
#include "syncfiles.h"
#include "files/partialfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <thread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

QByteArray toolDigest(const QString &tool, const QString &path)
{
    QProcess process;
    process.start(tool, {path});
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return "<" + tool.toUtf8() + " failed>";
    return process.readAllStandardOutput().split(' ').first();
}

} // namespace

class TestSyncParts : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> rootDir;
    QString root;

    QString cachePath() const { return root + "/dbclient.cache"; }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        rootDir.reset(new QTemporaryDir);
        QVERIFY(rootDir->isValid());
        root = rootDir->path();
    }

    void knownVectors_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("md5");
        QTest::addColumn<QByteArray>("sha1");
        QTest::newRow("empty") << QByteArray() << QByteArray("d41d8cd98f00b204e9800998ecf8427e")
                               << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709");
        QTest::newRow("abc") << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72")
                             << QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d");
        QTest::newRow("million a") << QByteArray(1000000, 'a') << QByteArray("7707d6ae4e027c70eea2a935c2296f21")
                                   << QByteArray("34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    }

    void knownVectors()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, md5);
        QFETCH(QByteArray, sha1);
        const ClipHasher::Result inMemory = ClipHasher::hashData(content);
        QCOMPARE(inMemory.md5, md5);
        QCOMPARE(inMemory.sha1, sha1);
        // Small blocks, so the million bytes cross many block and ring turns.
        const QString path = createFile(root, "v.MTS", content);
        const ClipHasher::Result fromFile = ClipHasher(4096, 2).hashFile(path);
        QCOMPARE(int(fromFile.status), int(ClipHasher::Status::Ok));
        QCOMPARE(fromFile.md5, md5);
        QCOMPARE(fromFile.sha1, sha1);
        QCOMPARE(fromFile.bytes, qint64(content.size()));
    }

    void blockBoundaries_data()
    {
        QTest::addColumn<qint64>("size");
        for (qint64 size : {qint64(1), qint64(4095), qint64(4096), qint64(4097), qint64(3 * 4096 + 5), qint64(40 * 4096)})
            QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(size))) << size;
    }

    void blockBoundaries()
    {
        QFETCH(qint64, size);
        const QByteArray content = randomBytes(size, quint32(size));
        const QString path = createFile(root, "b.MTS", content);
        const ClipHasher::Result expected = ClipHasher::hashData(content);
        for (int blocks : {2, 3, 8}) {
            const ClipHasher::Result got = ClipHasher(4096, blocks).hashFile(path);
            QCOMPARE(got.md5, expected.md5);
            QCOMPARE(got.sha1, expected.sha1);
        }
    }

    void matchesTheSystemTools()
    {
        const QString path = createFile(root, "t.MTS", randomBytes(9 * 1024 * 1024 + 17, 7));
        const ClipHasher::Result got = ClipHasher().hashFile(path);
        QCOMPARE(got.md5, toolDigest("md5sum", path));
        QCOMPARE(got.sha1, toolDigest("sha1sum", path));
    }

    void missingFileIsNotHashedAsEmpty()
    {
        const ClipHasher::Result got = ClipHasher().hashFile(root + "/gone.MTS");
        QCOMPARE(int(got.status), int(ClipHasher::Status::OpenFailed));
        QVERIFY(got.md5.isEmpty());
        QVERIFY(got.error.contains("cannot be opened"));
    }

    void growingFileIsRefused()
    {
        const QString path = createFile(root, "growing.MTS", randomBytes(64 * 1024, 3));
        bool appended = false;
        const ClipHasher::Result got = ClipHasher(4096, 2).hashFile(path, nullptr, [&](qint64) {
            if (appended)
                return;
            appended = true;
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write(QByteArray(10000, 'x'));
        });
        QCOMPARE(int(got.status), int(ClipHasher::Status::SizeChanged));
        QVERIFY(got.md5.isEmpty());
    }

    void cancelStopsBetweenBlocks()
    {
        const QString path = createFile(root, "c.MTS", randomBytes(64 * 1024, 4));
        std::atomic_bool cancel{false};
        qint64 lastSeen = 0;
        const ClipHasher::Result got = ClipHasher(4096, 2).hashFile(path, &cancel, [&](qint64 read) {
            lastSeen = read;
            if (read >= 8192)
                cancel = true;
        });
        QCOMPARE(int(got.status), int(ClipHasher::Status::Cancelled));
        QCOMPARE(lastSeen, qint64(8192));
    }

    // --- what is not a file ------------------------------------------------

    void hasherNeverWaitsOnWhatIsNotAFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("device") << "device";
        QTest::newRow("folder") << "folder";
    }

    void hasherNeverWaitsOnWhatIsNotAFile()
    {
#ifndef Q_OS_UNIX
        QSKIP("FIFOs and devices are Unix matters");
#else
        QFETCH(QString, kind);
        QString path = root;
        if (kind == "fifo") {
            path = root + "/f.MTS";
            QCOMPARE(::mkfifo(QFile::encodeName(path), 0600), 0);
        } else if (kind == "device") {
            path = "/dev/zero";
        }
        auto done = std::make_shared<std::promise<ClipHasher::Result>>();
        std::future<ClipHasher::Result> result = done->get_future();
        // Detached: should it block, the test fails instead of hanging.
        std::thread([done, path]() { done->set_value(ClipHasher().hashFile(path)); }).detach();
        QVERIFY2(result.wait_for(std::chrono::seconds(10)) == std::future_status::ready, "the hasher blocked");
        const ClipHasher::Result got = result.get();
        QCOMPARE(int(got.status), int(ClipHasher::Status::NotAFile));
        QVERIFY(got.md5.isEmpty());
        QVERIFY2(got.error.contains("not a regular file"), qPrintable(got.error));
#endif
    }

    void onlyMtsClipsBelowRaw()
    {
        const QStringList paths{"raw/A001.MTS", "raw/CardA/deep/er/00012.MTS", "raw/CardB/00001.MTS",
                                    "raw/x.mts", "raw/x.Mts", "raw/x.part.MTS", "raw/MTS", "raw/.hidden.MTS",
                                    "top.MTS", "transcode/t.MTS", "rawish/r.MTS"};
        for (const QString &path : paths)
            createFile(root, path, "clip " + path.toUtf8());
        QDir(root + "/raw/folder.MTS").mkpath(".");
        QStringList found;
        for (const ClipEntry &clip : ClipFinder::findClips(root))
            found << clip.path;
        QCOMPARE(found, QStringList({"raw/A001.MTS", "raw/CardA/deep/er/00012.MTS", "raw/CardB/00001.MTS"}));
    }

    void clipNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isClip");
        QTest::newRow("upper case suffix") << "00001.MTS" << true;
        QTest::newRow("lower case suffix") << "00001.mts" << false;
        QTest::newRow("mixed case suffix") << "00001.Mts" << false;
        QTest::newRow("two suffixes") << "00001.part.MTS" << false;
        QTest::newRow("no suffix") << "MTS" << false;
        QTest::newRow("other suffix") << "00001.MP4" << false;
    }

    void clipNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, isClip);
        QCOMPARE(ClipFinder::isClipName(name), isClip);
    }

    void cacheFileWriterIsByteExact()
    {
        createFile(root, "dbclient.cache", "the previous file");
        CacheFile cache;
        QVERIFY(cache.begin(cachePath()));
        QVERIFY(cache.addRecord("raw/a b/ü.MTS", "0123456789abcdef0123456789abcdef",
                                "0123456789abcdef0123456789abcdef01234567", 42));
        const QByteArray expected = cacheHeader + cacheRecord("raw/a b/ü.MTS", "0123456789abcdef0123456789abcdef",
                                                              "0123456789abcdef0123456789abcdef01234567", 42);
        // Flushed record by record into the temporary file; the previous
        // file stays whole until the new one takes its place.
        QCOMPARE(readFile(PartialFile::pathFor(cachePath())), expected);
        QCOMPARE(readFile(cachePath()), QByteArray("the previous file"));
        QVERIFY(cache.end());
        QVERIFY(cache.error().isEmpty());
        QCOMPARE(readFile(cachePath()), expected);
        QVERIFY(!QFile::exists(PartialFile::pathFor(cachePath())));
    }
};

QTEST_GUILESS_MAIN(TestSyncParts)
#include "tst_syncparts.moc"
