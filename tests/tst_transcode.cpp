// The transcode window's layout in both modes, and the encoder look-up.

#include "app/clientstate.h"
#include "testsupport.h"
#include "transcode/encoderlocator.h"
#include "transcode/transcodedialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

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

} // namespace

class TestTranscode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

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
        QTest::newRow("online: the condition field first") << 1 << (QStringList{" | QLineEdit conditionEdit"} + common);
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
                 (QStringList{"Progress:  | QProgressBar progressBar", " | QTreeView jobView",
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
};

QTEST_MAIN(TestTranscode)
#include "tst_transcode.moc"
