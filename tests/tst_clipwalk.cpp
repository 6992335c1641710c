// The clip walk, with no database: which files below a root are clips.

#include "coretestsupport.h"
#include "projects/clipfinder.h"
#include "syncfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class TestClipWalk : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> rootDir;
    QString root;

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
};

QTEST_GUILESS_MAIN(TestClipWalk)
#include "tst_clipwalk.moc"
