// The cache file's writer, with no database: its bytes, and the previous
// file kept whole until the new one takes its place.

#include "coretestsupport.h"
#include "projects/cachefile.h"
#include "syncfiles.h"
#include "transcode/partialfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestCacheFile : public QObject
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

QTEST_GUILESS_MAIN(TestCacheFile)
#include "tst_cachefile.moc"
