#include "testsupport.h"

#include "db/dbworker.h"
#include "shots/gridwidget.h"
#include "shots/shottablemodel.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QWidget>

QString saveScreenshot(QWidget *widget, const QString &name)
{
    QDir dir(QStringLiteral(TAVELO_SCREENSHOT_DIR));
    dir.mkpath(QStringLiteral("."));
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    widget->grab().save(path);
    return path;
}

void whenModal(const char *className, std::function<void(QWidget *)> action, int timeoutMs)
{
    auto *timer = new QTimer(qApp);
    auto *clock = new QElapsedTimer;
    clock->start();
    const QByteArray wanted(className);
    QObject::connect(timer, &QTimer::timeout, timer, [=]() {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && modal->inherits(wanted.constData())) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            action(modal);
            return;
        }
        if (clock->elapsed() > timeoutMs) {
            qWarning() << "whenModal: no" << wanted << "appeared within" << timeoutMs << "ms";
            timer->stop();
            timer->deleteLater();
            delete clock;
        }
    });
    timer->start(20);
}

ClientRun runClient(const QString &script, const QString &home, const QString &workingDirectory,
                    const QProcessEnvironment &extra)
{
    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("HOME", home);
    environment.insert("XDG_CONFIG_HOME", home + "/config");
    environment.insert("QT_PLUGIN_PATH", TAVELO_DRIVER_PLUGIN_PATH);
    environment.insert("QT_QPA_GENERIC_PLUGINS", "tavelo_driver");
    environment.insert("TAVELO_DRIVE", script);
    environment.insert(extra);
    client.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        client.setWorkingDirectory(workingDirectory);
    client.setProgram(TAVELO_CLIENT_PATH);
    client.start();

    ClientRun run;
    if (!client.waitForStarted()) {
        run.log = client.errorString();
        return run;
    }
    run.finished = client.waitForFinished(60000);
    if (!run.finished) {
        client.kill();
        client.waitForFinished();
    }
    run.crashed = client.exitStatus() != QProcess::NormalExit;
    run.exitCode = client.exitCode();
    run.log = QString::fromLocal8Bit(client.readAllStandardError());
    return run;
}

bool settle(const GridWidget *grid)
{
    QElapsedTimer clock;
    clock.start();
    while ((grid->model->isBusy() || DbWorker::shared()->isBusy()) && clock.elapsed() < 20000)
        QTest::qWait(5);
    QTest::qWait(0);
    return !grid->model->isBusy();
}
