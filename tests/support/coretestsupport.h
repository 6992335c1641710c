#pragma once

// What the tests share that needs no widget: the test database, files and
// clips, and a database server of a test's own. It links the core alone, so
// a test of the core runs without a screen; testsupport.h adds the helpers
// for windows and the real client.

#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class QSqlDatabase;

// Opening of every database test's initTestCase(): no test touches the
// person's own settings, and without the test server the test fails rather
// than passing for want of something to check.
#define TAVELO_INIT_DB_TEST()                                                                      \
    do {                                                                                           \
        QStandardPaths::setTestModeEnabled(true);                                                  \
        if (!TestDb::configured())                                                                 \
            QFAIL(qPrintable(TestDb::notConfiguredMessage()));                                     \
    } while (false)

// Connection details of the throwaway server that scripts/test starts.
namespace TestDb {
bool configured();
// Why the database tests cannot run, for QFAIL.
QString notConfiguredMessage();
QString host();
int port();
QString socket();
QString name();
QString user();
QString password();
// The login's server field for this server: "127.0.0.1:PORT".
QString serverText();

// Opens a connection of the given name (the default one when empty) to the
// test database.
QSqlDatabase open(const QString &connectionName = QString());
// Empties both tables and restarts their ids at 1.
bool reset(QSqlDatabase &db);
// Adds a project and returns its id (0 on failure).
int addProject(QSqlDatabase &db, const QString &name, const QVariant &description);
// Adds a shot; fields not given are NULL. Returns its id (0 on failure).
int addShot(QSqlDatabase &db, int project, const QString &filename, const QVariantMap &fields = {},
            const QString &md5 = QString(32, QLatin1Char('a')), const QString &sha1 = QString(40, QLatin1Char('b')));
// A column of a shot as stored ("<no row N>" when there is none).
QVariant shotValue(QSqlDatabase &db, int id, const QString &column);
// Stores a value in a column of a shot, as another client would.
bool setShotValue(QSqlDatabase &db, int id, const QString &column, const QVariant &value);
// The ids of the test user's connections to the server, as db sees them:
// a connection a test did not open itself (a sync's database thread, say)
// is the one not there before.
QStringList connectionIds(QSqlDatabase &db);
// Runs statements as the server's root over its socket ("SET GLOBAL ...");
// false with the client's output in error on failure.
bool rootSql(const QString &statements, QString *error = nullptr);
} // namespace TestDb

// Generates a small camera-like clip (H.264 4:2:0 with AC-3 audio in
// MPEG-TS) with the real encoder, creating parent folders. Returns false
// when the encoder is missing or fails.
bool makeClip(const QString &path, int seconds = 2);
// The lowercase hexadecimal MD5 of a file's content.
QString fileMd5(const QString &path);

// True when this process ignores file permissions, as root does with the
// capabilities that bypass them (always false where there are none).
bool ignoresPermissions();

// Runs the named test functions of the calling test program again in a
// child without the capabilities with which root ignores file permissions
// (setpriv), so a test run as root sees what a user sees. Empty when they
// all passed, else the child's output; sets skipped (why) instead when
// that cannot be done or is not needed here.
QString runWithoutPermissionBypass(const QStringList &functions, QString *skipped);

// SIGSTOP to pid, and returns once every thread of the process has
// stopped (within 10 s; false, with the reason in error, otherwise).
bool stopProcess(qint64 pid, QString *error);

// A MariaDB server of the test's own, for tests that stall or restart a
// server: the shared test server must never be stopped. Its data, socket,
// pid file and log live in dir. The destructor always resumes it (a stopped
// server would hang every later test) and stops it by its pid file.
class PrivateServer
{
public:
    ~PrivateServer();

    // Initialises the data folder on first use, starts the server on a free
    // loopback port and creates a database with the shots schema (from
    // schemaPath) and a user of its own.
    bool start(const QString &dir, const QString &schemaPath);
    // SIGCONT, then a clean shutdown; waits for the process to end.
    bool stop();
    // Starts it again on the same port with the same data, after stop().
    bool startAgain();
    // Stop and start on the same port: every open connection is lost.
    bool restart();
    // SIGSTOP, and returns once every thread of the server has stopped:
    // from then on it takes connections but answers nothing.
    bool pause();
    bool resume(); // SIGCONT

    // Runs SQL as the server's root over its socket.
    bool sql(const QString &statements, const QString &database = QString());

    qint64 pid() const; // read from its pid file; 0 when it is not running
    QString serverText() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    QString databaseName() const { return QStringLiteral("tavelo_own"); }
    QString user() const { return QStringLiteral("tavelo_own"); }
    QString password() const { return QStringLiteral("own-password"); }
    QString errorText() const { return error; }

    // Opens (or reopens) a connection of the given name to this server's
    // database with the client's own connection options.
    QSqlDatabase open(const QString &connectionName) const;

private:
    bool launch();
    bool waitUntilAnswering(int timeoutMs);
    bool portTaken = false; // the last launch found its port taken
    qint64 logStart = 0;    // the error log's size when it began

    QString dir;
    int port = 0;
    QString error;
};
