// tavelo-sync: the client's project sync without a window, for scripts and
// headless machines. See usage below for the exit statuses.

#include "db/connectionsettings.h"
#include "db/dbworker.h"
#include "db/statementrunner.h"
#include "media/mediatables.h"
#include "projects/syncengine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

enum ExitStatus { AllSynced = 0, SomeSkipped = 1, BadUsage = 2, DatabaseFailure = 3 };

const char description[] =
    "Syncs the camera clips (*.MTS at any depth below DIR/raw) with the shots database: each clip\n"
    "is hashed, looked up by its MD5 and SHA-1 digests and inserted as a shot of the project when\n"
    "no shot has them; DIR/dbclient.cache lists every clip with its shot id.\n"
    "\n"
    "The connection comes from the client's settings unless --server, --database or --user\n"
    "say otherwise; the password from the environment variable TAVELO_DB_PASSWORD, else the\n"
    "client's settings.\n"
    "\n"
    "With --changed-only, a clip whose size and modification time are those it had when an\n"
    "earlier sync hashed it keeps the digests remembered in DIR/dbclient.digests instead of\n"
    "being read again; every clip is still looked up and listed in DIR/dbclient.cache. A clip\n"
    "changed without a change of size or modification time goes unnoticed in this mode; the\n"
    "default, a full sync, reads every clip.\n"
    "\n"
    "Each content's media is read once, when the database has the tables shot_media and\n"
    "shot_posters: its length, size, frame rate, scan, codecs, audio, the camera's recording\n"
    "date and start timecode, and a poster frame, which every workstation then sees. A clip\n"
    "that is not readable as video gets a short reason instead. --no-media skips this.\n"
    "--setup-database creates those tables and shot_changes, the history of edits made in the\n"
    "client (an administrator runs it once), and does nothing else; run again, it changes\n"
    "nothing.\n"
    "\n"
    "A second sync of a root that is being synced is refused (the lock dbclient.cache.lock).\n"
    "\n"
    "Prints one line per clip and a summary on standard output, traces on standard error.\n"
    "Exit status: 0 every clip synced; 1 some clips or folders skipped, the cache file or the\n"
    "media facts not written, or the sync interrupted (SIGINT, SIGTERM); 2 bad usage, a root\n"
    "that cannot be entered or listed, no connection, no such project, the root being synced\n"
    "already, or tables that could not be created (nothing written); 3 a database failure\n"
    "stopped the sync (what was written before it stays).";

std::atomic_bool interrupted{false};

extern "C" void onInterrupt(int)
{
    interrupted = true;
}

// The progress line on a terminal's standard error; it is wiped before any
// other line is written, and drawn again on the next progress tick.
bool progressShown = false;

void clearProgress()
{
    if (!progressShown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressShown = false;
}

void writeTrace(QtMsgType, const QMessageLogContext &, const QString &message)
{
    clearProgress();
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

void printOut(const QString &line)
{
    clearProgress();
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "tavelo-sync: %s\nTry 'tavelo-sync --help' for more information.\n",
                 message.toLocal8Bit().constData());
    return BadUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavelo-sync"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption rootOption("root", "Local root holding raw/ (default: the client's local root).", "DIR");
    const QCommandLineOption projectOption("project", "Id of the project new shots belong to (required).", "ID");
    const QCommandLineOption serverOption("server", "Host, host:port, [IPv6]:port or a socket path.", "SERVER");
    const QCommandLineOption databaseOption("database", "Database name.", "NAME");
    const QCommandLineOption userOption("user", "User name.", "USER");
    const QCommandLineOption changedOnlyOption(
        "changed-only", "Read only new or changed clips: take the digests of clips whose size and modification "
                        "time are unchanged since the previous sync.");
    const QCommandLineOption noMediaOption(
        "no-media", "Do not read the clips' media (facts and posters); only hash, look up and record them.");
    const QCommandLineOption setupOption(
        "setup-database", "Create the tables shot_media, shot_posters and shot_changes where they are missing, say what was "
                          "created, and sync nothing. Takes only the connection options.");
    parser.addOptions({rootOption, projectOption, serverOption, databaseOption, userOption, changedOnlyOption,
                       noMediaOption, setupOption});

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    // The toolkit's parser lists --help-all beside --help; both print the help.
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        printOut(parser.helpText());
        return AllSynced;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\".").arg(parser.positionalArguments().first()));
    const bool setup = parser.isSet(setupOption);
    if (setup) {
        for (const QCommandLineOption &option : {rootOption, projectOption, changedOnlyOption, noMediaOption}) {
            if (parser.isSet(option))
                return usageError(QStringLiteral("--setup-database takes only the connection options, not --%1.")
                                      .arg(option.names().first()));
        }
    }
    int projectId = 0;
    if (!setup) {
        if (!parser.isSet(projectOption))
            return usageError(QStringLiteral("--project ID is required."));
        bool ok = false;
        projectId = parser.value(projectOption).toInt(&ok);
        if (!ok || projectId <= 0)
            return usageError(QStringLiteral("--project needs a positive whole number, not \"%1\".")
                                  .arg(parser.value(projectOption)));
    }

    ConnectionSettings settings = ConnectionSettings::load();
    const QString root = parser.isSet(rootOption) ? parser.value(rootOption) : settings.rootPath;
    if (!setup) {
        if (root.isEmpty())
            return usageError(QStringLiteral("no local root: give --root DIR."));
        const QString rootProblem = ClipFinder::rootProblem(root);
        if (!rootProblem.isEmpty())
            return usageError(rootProblem);
    }
    if (parser.isSet(serverOption))
        settings.server = parser.value(serverOption);
    if (parser.isSet(databaseOption))
        settings.database = parser.value(databaseOption);
    if (parser.isSet(userOption))
        settings.userName = parser.value(userOption);
    if (qEnvironmentVariableIsSet("TAVELO_DB_PASSWORD"))
        settings.password = qEnvironmentVariable("TAVELO_DB_PASSWORD");

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"));
    const ServerAddress address = applyServerAddress(db, settings.server);
    if (!address.isValid())
        return usageError(QStringLiteral("the server \"%1\" cannot be used: %2").arg(settings.server, address.error));
    db.setDatabaseName(settings.database);
    db.setUserName(settings.userName);
    db.setPassword(settings.password);
    if (!db.open()) {
        std::fprintf(stderr, "tavelo-sync: cannot connect to database \"%s\" on \"%s\" as \"%s\": %s\n",
                     settings.database.toLocal8Bit().constData(), settings.server.toLocal8Bit().constData(),
                     settings.userName.toLocal8Bit().constData(), db.lastError().text().toLocal8Bit().constData());
        return BadUsage;
    }

    if (setup) {
        StatementRunner runner(db);
        const MediaTables::Setup done = MediaTables::setup(runner);
        db.close();
        if (!done.ok) {
            std::fprintf(stderr, "tavelo-sync: %s\n", done.error.toLocal8Bit().constData());
            return BadUsage;
        }
        printOut(done.text());
        return AllSynced;
    }

    // The login is good. The sync runs its statements on a database thread
    // with a connection of its own, a copy of this one, so this thread
    // stays free to take an interrupt while the server does not answer.
    db.close();

    int status = AllSynced;
    {
        SyncEngine engine(root, projectId);
        engine.setChangedOnly(parser.isSet(changedOnlyOption));
        engine.setMediaEnabled(!parser.isSet(noMediaOption));
        const bool showProgress = isatty(fileno(stderr));
        QObject::connect(&engine, &SyncEngine::clipFinished, &app, [](const SyncClipResult &clip) {
            printOut(clip.text());
        });
        if (showProgress) {
            QObject::connect(&engine, &SyncEngine::progressChanged, &app, [](const SyncProgress &progress) {
                QString line = progress.text();
                if (!progress.currentClip.isEmpty())
                    line += QStringLiteral("  ") + progress.currentClip;
                else if (!progress.currentMedia.isEmpty())
                    line += QStringLiteral("  media of ") + progress.currentMedia;
                clearProgress();
                std::fprintf(stderr, "%s", line.left(150).toLocal8Bit().constData());
                std::fflush(stderr);
                progressShown = true;
            });
            qInstallMessageHandler(writeTrace);
        }

        // Ctrl+C cancels like the client's Cancel: the cache file stays well
        // formed. The cancel waits neither for a read that is stuck nor for
        // a server that does not answer (its statement is cut off).
        std::signal(SIGINT, onInterrupt);
        std::signal(SIGTERM, onInterrupt);
        QTimer interruptCheck;
        QObject::connect(&interruptCheck, &QTimer::timeout, &engine, [&engine]() {
            if (interrupted)
                engine.cancel();
        });
        interruptCheck.start(100);

        const SyncSummary summary = engine.run();
        clearProgress();
        if (summary.status == SyncSummary::Status::Refused)
            std::fprintf(stderr, "tavelo-sync: %s\n", summary.error.toLocal8Bit().constData());
        else
            printOut(summary.text());
        status = summary.exitCode();
    }
    // The database thread is ended and joined (a statement it still waits
    // in is cut off). A hashing or media thread that has done its work may
    // still be winding down: give it a moment (never a join: one stuck in a
    // read never returns).
    const bool databaseEnded = DbWorker::stopAll(1000);
    const auto threads = []() { return SyncEngine::abandonedThreads() + SyncEngine::mediaThreads(); };
    for (int i = 0; i < 40 && threads() > 0; ++i)
        QThread::msleep(5);
    if (!databaseEnded || threads() > 0) {
        // A thread is still stuck in a read or a connect: end without
        // running static destructors under it.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
