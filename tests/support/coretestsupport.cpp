#include "coretestsupport.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <sys/stat.h>
#endif

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
    // The history is optional; a database without it is reset all the same.
    query.exec("DELETE FROM shot_changes");
    return query.exec("DELETE FROM shots") && query.exec("DELETE FROM projects")
        && query.exec("ALTER TABLE shots AUTO_INCREMENT = 1")
        && query.exec("ALTER TABLE projects AUTO_INCREMENT = 1");
}

int addShot(QSqlDatabase &db, int project, const QString &filename, const QVariantMap &fields, const QString &md5,
            const QString &sha1)
{
    QStringList columns = {"project", "filename", "MD5", "SHA1"};
    QVariantList values = {project, filename, md5, sha1};
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
        columns << it.key();
        values << it.value();
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO shots (%1) VALUES (%2)")
                      .arg(columns.join(", "), QStringList(columns.size(), "?").join(", ")));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        qWarning() << "addShot:" << query.lastError().text();
    return query.lastInsertId().toInt();
}

QVariant shotValue(QSqlDatabase &db, int id, const QString &column)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT %1 FROM shots WHERE id = ?").arg(column));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return QStringLiteral("<no row %1>").arg(id);
    return query.value(0);
}

bool setShotValue(QSqlDatabase &db, int id, const QString &column, const QVariant &value)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE shots SET %1 = ? WHERE id = ?").arg(column));
    query.addBindValue(value);
    query.addBindValue(id);
    if (!query.exec()) {
        qWarning() << "setShotValue:" << query.lastError().text();
        return false;
    }
    return true;
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

// ---- PrivateServer -------------------------------------------------------

#include "db/connectionsettings.h"

#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The first port of the kernel's range for outgoing connections: a port of
// that range can be taken by any connection a test opens, between finding
// it free and the server binding it (or while a restarted server is down).
int firstOutgoingPort()
{
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly)) {
        const int low = QString::fromLatin1(range.readAll()).simplified().section(QLatin1Char(' '), 0, 0).toInt();
        if (low > 0)
            return low;
    }
    return 32768;
}

// A loopback port nobody listens on, below the outgoing range.
int freeLoopbackPort()
{
    constexpr int first = 10000;
    const int last = qMax(first + 1000, firstOutgoingPort()) - 1;
    for (int tries = 0; tries < 200; ++tries) {
        const int port = first + int(QRandomGenerator::global()->bounded(quint32(last - first + 1)));
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return 0;
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes); // as the server binds
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(quint16(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

// Alive and not a zombie waiting for a parent that never reaps it (a
// detached process's parent may be a container's first process).
bool running(qint64 pid)
{
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

bool runTool(const QString &program, const QStringList &arguments, QString *error,
             const QByteArray &input = QByteArray(), int timeoutMs = 120000)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    if (!tool.waitForStarted()) {
        *error = program + QStringLiteral(": ") + tool.errorString();
        return false;
    }
    if (!input.isEmpty())
        tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(timeoutMs) || tool.exitStatus() != QProcess::NormalExit
        || tool.exitCode() != 0) {
        *error = program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(tool.readAll());
        tool.kill();
        tool.waitForFinished();
        return false;
    }
    return true;
}
} // namespace

QStringList TestDb::connectionIds(QSqlDatabase &db)
{
    QStringList ids;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id FROM information_schema.processlist WHERE user = ? ORDER BY id"));
    query.addBindValue(user());
    if (!query.exec())
        qWarning() << "connectionIds:" << query.lastError().text();
    while (query.next())
        ids << query.value(0).toString();
    return ids;
}

bool TestDb::rootSql(const QString &statements, QString *error)
{
    QString failure;
    const bool ran = runTool(QStringLiteral("mariadb"), {"--no-defaults", "--socket=" + socket(), "-uroot"},
                             &failure, statements.toUtf8());
    if (error)
        *error = failure;
    return ran;
}

PrivateServer::~PrivateServer()
{
    resume();
    stop();
}

qint64 PrivateServer::pid() const
{
    QFile file(dir + QStringLiteral("/mariadbd.pid"));
    if (dir.isEmpty() || !file.open(QIODevice::ReadOnly))
        return 0;
    const qint64 value = file.readAll().trimmed().toLongLong();
    return running(value) ? value : 0;
}

bool PrivateServer::start(const QString &folder, const QString &schemaPath)
{
    dir = folder;
    QDir().mkpath(dir);
    if (!QFileInfo::exists(dir + QStringLiteral("/data/mysql"))) {
        const QString user = QString::fromLocal8Bit(qgetenv("USER").isEmpty() ? "root" : qgetenv("USER"));
        if (!runTool(QStringLiteral("mariadb-install-db"),
                     {"--no-defaults", "--user=" + user, "--datadir=" + dir + "/data",
                      "--auth-root-authentication-method=socket", "--skip-test-db"},
                     &error))
            return false;
    }
    // Another listener can still take the port before the server binds
    // it: then it starts again on another.
    for (int tries = 0;; ++tries) {
        port = freeLoopbackPort();
        if (launch())
            break;
        if (!portTaken || tries == 4)
            return false;
    }
    QFile schema(schemaPath);
    if (!schema.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read ") + schemaPath;
        return false;
    }
    return sql(QStringLiteral("CREATE DATABASE IF NOT EXISTS %1 CHARACTER SET utf8mb4;"
                              "CREATE USER IF NOT EXISTS '%2'@'127.0.0.1' IDENTIFIED BY '%3';"
                              "GRANT ALL ON %1.* TO '%2'@'127.0.0.1';")
                   .arg(databaseName(), user(), password()))
        && sql(QString::fromUtf8(schema.readAll()), databaseName());
}

bool PrivateServer::launch()
{
    const QString user = QString::fromLocal8Bit(qgetenv("USER").isEmpty() ? "root" : qgetenv("USER"));
    // Detached, so the server outlives no test by accident either: it is
    // stopped by its pid file, and a restart gets a new process.
    const QStringList arguments = {
        "--no-defaults", "--user=" + user, "--datadir=" + dir + "/data",
        "--bind-address=127.0.0.1", "--port=" + QString::number(port),
        "--socket=" + dir + "/s.sock", "--pid-file=" + dir + "/mariadbd.pid",
        "--log-error=" + dir + "/error.log", "--skip-name-resolve",
        "--innodb-buffer-pool-size=32M"};
    portTaken = false;
    logStart = QFileInfo(dir + QStringLiteral("/error.log")).size();
    if (!QProcess::startDetached(QStringLiteral("mariadbd"), arguments)) {
        error = QStringLiteral("mariadbd could not be started");
        return false;
    }
    return waitUntilAnswering(30000);
}

bool PrivateServer::waitUntilAnswering(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        QProcess ping;
        ping.start(QStringLiteral("mariadb-admin"),
                   {"--no-defaults", "--socket=" + dir + "/s.sock", "-uroot", "ping"});
        if (ping.waitForFinished(5000) && ping.exitCode() == 0 && pid() > 0)
            return true;
        QFile log(dir + QStringLiteral("/error.log"));
        if (log.open(QIODevice::ReadOnly) && log.seek(logStart)
            && log.readAll().contains("Address already in use")) {
            portTaken = true;
            error = QStringLiteral("port %1 was taken before the private server could bind it").arg(port);
            return false;
        }
        QThread::msleep(100);
    }
    QFile log(dir + QStringLiteral("/error.log"));
    log.open(QIODevice::ReadOnly);
    error = QStringLiteral("the private server did not answer: ") + QString::fromLocal8Bit(log.readAll().right(2000));
    return false;
}

bool PrivateServer::sql(const QString &statements, const QString &database)
{
    QStringList arguments = {"--no-defaults", "--socket=" + dir + "/s.sock", "-uroot"};
    if (!database.isEmpty())
        arguments << database;
    return runTool(QStringLiteral("mariadb"), arguments, &error, statements.toUtf8());
}

namespace {
// Whether every thread of a process has stopped. kill() only queues the
// stop: one of the process's threads must run to begin it, and until the
// others have taken it a thread that wakes for a statement still answers
// it (seen on a loaded machine: a save went through 30 ms after kill()).
bool allThreadsStopped(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return false;
    for (const QString &thread : threads) {
        QFile stat(tasks.filePath(thread + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly))
            continue; // ended meanwhile
        const QByteArray line = stat.readAll();
        const char state = line.mid(line.lastIndexOf(')') + 2, 1).at(0);
        if (state != 'T' && state != 't')
            return false;
    }
    return true;
}
} // namespace

bool stopProcess(qint64 pid, QString *error)
{
    if (pid <= 0 || ::kill(pid_t(pid), SIGSTOP) != 0) {
        *error = QStringLiteral("no process %1 to stop").arg(pid);
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (!allThreadsStopped(pid)) {
        if (clock.elapsed() > 10000) {
            *error = QStringLiteral("process %1 did not stop within 10 s of SIGSTOP").arg(pid);
            return false;
        }
        QThread::msleep(1);
    }
    return true;
}

bool PrivateServer::pause()
{
    return stopProcess(pid(), &error);
}

bool PrivateServer::resume()
{
    const qint64 id = pid();
    return id > 0 && ::kill(pid_t(id), SIGCONT) == 0;
}

bool PrivateServer::stop()
{
    const qint64 id = pid();
    if (id <= 0)
        return true;
    ::kill(pid_t(id), SIGCONT);
    ::kill(pid_t(id), SIGTERM);
    QElapsedTimer clock;
    clock.start();
    while (running(id)) {
        if (clock.elapsed() > 30000) {
            ::kill(pid_t(id), SIGKILL);
            QThread::msleep(200);
            break;
        }
        QThread::msleep(50);
    }
    // The process was started detached; pid 1 reaps it.
    return true;
}

bool PrivateServer::startAgain()
{
    return launch();
}

bool PrivateServer::restart()
{
    return stop() && startAgain();
}

QSqlDatabase PrivateServer::open(const QString &connectionName) const
{
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
        ? QSqlDatabase::database(connectionName, false)
        : QSqlDatabase::addDatabase("QMYSQL", connectionName);
    applyServerAddress(db, serverText());
    db.setDatabaseName(databaseName());
    db.setUserName(user());
    db.setPassword(password());
    if (!db.isOpen() && !db.open())
        qWarning() << "private server:" << db.lastError().text();
    return db;
}

bool ignoresPermissions()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    const QByteArray locked = QFile::encodeName(dir.path() + "/locked");
    ::mkdir(locked.constData(), 0);
    DIR *listed = ::opendir(locked.constData());
    if (listed)
        ::closedir(listed);
    ::chmod(locked.constData(), 0700);
    return listed != nullptr;
#else
    return false;
#endif
}

QString runWithoutPermissionBypass(const QStringList &functions, QString *skipped)
{
#ifndef Q_OS_UNIX
    Q_UNUSED(functions);
    *skipped = QStringLiteral("permissions are a Unix matter here");
    return QString();
#else
    if (!ignoresPermissions()) {
        *skipped = QStringLiteral("this process already meets file permissions; the functions ran in it directly");
        return QString();
    }
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty()) {
        *skipped = QStringLiteral("setpriv (util-linux) is missing, so the permission cases cannot run as root");
        return QString();
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(setpriv, QStringList{QStringLiteral("--bounding-set=-dac_override,-dac_read_search"),
                                     QCoreApplication::applicationFilePath()}
                             + functions);
    if (!child.waitForStarted())
        return QStringLiteral("setpriv did not start: ") + child.errorString();
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return QStringLiteral("the child did not end within two minutes");
    }
    const QString out = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0
        || !QRegularExpression(QStringLiteral("Totals: [1-9][0-9]* passed, 0 failed, 0 skipped")).match(out).hasMatch())
        return out.isEmpty() ? QStringLiteral("the child failed without a word") : out;
    return QString();
#endif
}
