#include "testsupport.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QWidget>
#include <QDebug>

namespace {
QString env(const char *name)
{
    return qEnvironmentVariable(name);
}
} // namespace

namespace TestDb {

bool configured()
{
    return !env("TAVELO_TEST_DB_PORT").isEmpty() && !env("TAVELO_TEST_DB_NAME").isEmpty();
}

QString notConfiguredMessage()
{
    return QStringLiteral("No test database: run the suite with scripts/test, which starts one "
                          "and sets TAVELO_TEST_DB_*.");
}

QString host() { return env("TAVELO_TEST_DB_HOST").isEmpty() ? QStringLiteral("127.0.0.1") : env("TAVELO_TEST_DB_HOST"); }
int port() { return env("TAVELO_TEST_DB_PORT").toInt(); }
QString socket() { return env("TAVELO_TEST_DB_SOCKET"); }
QString name() { return env("TAVELO_TEST_DB_NAME"); }
QString user() { return env("TAVELO_TEST_DB_USER"); }
QString password() { return env("TAVELO_TEST_DB_PASSWORD"); }
QString serverText() { return QStringLiteral("%1:%2").arg(host()).arg(port()); }

QSqlDatabase open(const QString &connectionName)
{
    const QString connection =
        connectionName.isEmpty() ? QString(QSqlDatabase::defaultConnection) : connectionName;
    QSqlDatabase db = QSqlDatabase::contains(connection)
        ? QSqlDatabase::database(connection, false)
        : QSqlDatabase::addDatabase("QMYSQL", connection);
    db.setHostName(host());
    db.setPort(port());
    db.setDatabaseName(name());
    db.setUserName(user());
    db.setPassword(password());
    if (!db.isOpen() && !db.open())
        qWarning() << "test database:" << db.lastError().text();
    return db;
}

bool reset(QSqlDatabase &db)
{
    QSqlQuery query(db);
    return query.exec("DELETE FROM shots") && query.exec("DELETE FROM projects")
        && query.exec("ALTER TABLE shots AUTO_INCREMENT = 1")
        && query.exec("ALTER TABLE projects AUTO_INCREMENT = 1");
}

int addProject(QSqlDatabase &db, const QString &projectName, const QVariant &description)
{
    QSqlQuery query(db);
    query.prepare("INSERT INTO projects (name, description) VALUES (:name, :description)");
    query.bindValue(":name", projectName);
    query.bindValue(":description", description);
    if (!query.exec()) {
        qWarning() << "addProject:" << query.lastError().text();
        return 0;
    }
    return query.lastInsertId().toInt();
}

} // namespace TestDb

bool makeClip(const QString &path, int seconds)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString duration = QString::number(seconds);
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                  "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25:duration=" + duration,
                  "-f", "lavfi", "-i", "sine=frequency=440:duration=" + duration,
                  "-t", duration, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                  "-c:a", "ac3", "-b:a", "128k", "-f", "mpegts", path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitStatus() != QProcess::NormalExit
        || ffmpeg.exitCode() != 0) {
        qWarning() << "makeClip:" << ffmpeg.errorString() << ffmpeg.readAllStandardError();
        return false;
    }
    return QFileInfo(path).size() > 0;
}

QString fileMd5(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

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
