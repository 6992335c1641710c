#include "db/dbworker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <dlfcn.h>
#include <sys/socket.h>
#endif

namespace {

// The socket of a connection of the MySQL/MariaDB driver, or -1. The client
// library is the one the driver plug-in loaded; it is looked up at run time,
// so the client does not link it itself.
int connectionSocket(const QSqlDatabase &db)
{
#ifdef Q_OS_UNIX
    if (!db.isOpen() || !db.driver())
        return -1;
    const QVariant handle = db.driver()->handle();
    // The driver names the client library's handle type MYSQL* or st_mysql*.
    if (!handle.isValid()
        || (qstrcmp(handle.typeName(), "MYSQL*") != 0 && qstrcmp(handle.typeName(), "st_mysql*") != 0))
        return -1;
    void *mysql = *static_cast<void *const *>(handle.constData());
    using GetSocket = int (*)(void *);
    static GetSocket getSocket = []() -> GetSocket {
        for (const char *library : {"libmariadb.so.3", "libmysqlclient.so.21", "libmariadbclient.so.18"}) {
            if (void *loaded = dlopen(library, RTLD_NOW | RTLD_NOLOAD)) {
                if (void *symbol = dlsym(loaded, "mysql_get_socket"))
                    return reinterpret_cast<GetSocket>(symbol);
            }
        }
        return nullptr;
    }();
    return mysql && getSocket ? getSocket(mysql) : -1;
#else
    Q_UNUSED(db);
    return -1;
#endif
}

std::atomic<int> workerNumber{0};

} // namespace

// Every worker's thread that has not been joined yet, so the process can end
// them all before it ends (a thread in a statement while Qt SQL's globals
// are destroyed crashes the process). The registry is made with the first
// worker, after the toolkit's SQL globals, so it is destroyed before them:
// its destructor ends what is left.
namespace {
struct ThreadRegistry
{
    struct Entry
    {
        std::weak_ptr<DbWorker::Shared> shared;
        std::thread thread;
    };
    std::mutex mutex;
    std::vector<Entry> entries;

    static ThreadRegistry &instance()
    {
        static ThreadRegistry registry;
        return registry;
    }
    ~ThreadRegistry() { DbWorker::stopAll(1000); }
};
} // namespace

struct DbSession::State
{
    QString connectionName;
    std::shared_ptr<std::atomic_bool> cancelled;
    std::function<void()> beforeReopen;
    std::function<void()> afterReopen;
    std::function<void(const std::function<void()> &)> deliver;
};

void DbSession::deliver(const std::function<void()> &continuation) const
{
    if (state->deliver)
        state->deliver(continuation);
}

QSqlDatabase DbSession::database() const
{
    return QSqlDatabase::database(state->connectionName, false);
}

bool DbSession::isCancelled() const
{
    return state->cancelled && *state->cancelled;
}

StatementRunner DbSession::runner() const
{
    StatementRunner runner(database());
    std::shared_ptr<std::atomic_bool> flag = state->cancelled;
    runner.setHooks({[flag]() { return flag && *flag; }, state->beforeReopen, state->afterReopen});
    return runner;
}

// Shared by the worker object (GUI thread) and its thread. The thread holds
// it for as long as it runs, so it outlives a worker object that let go of
// a thread stuck in a statement.
struct DbWorker::Shared
{
    struct Job
    {
        quint64 ticket = 0;
        QPointer<QObject> context; // read on the GUI thread only
        Work work;
        QString what;
        std::shared_ptr<std::atomic_bool> cancelled;
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> queue;
    bool stopping = false;
    bool threadEnded = false;
    std::condition_variable ended;

    quint64 nextTicket = 1;
    quint64 running = 0;
    QString runningWhat;
    QElapsedTimer runningClock;
    std::shared_ptr<std::atomic_bool> runningCancelled;
    int socket = -1; // of the thread's connection while open

    // Lives on the GUI thread; continuations are posted to it under the
    // mutex, and it is cleared under the mutex before it is deleted.
    QObject *relay = nullptr;
    DbWorker *owner = nullptr; // valid while relay is set

    // The login to copy, read on the GUI thread when the worker was made.
    QString driverName, host, databaseName, user, password, options;
    int port = -1;
    QString connectionName;

    void cutOffRunning()
    {
#ifdef Q_OS_UNIX
        // A statement waiting for a stalled server returns at once.
        if (running && socket >= 0)
            ::shutdown(socket, SHUT_RDWR);
#endif
    }

    // No more jobs: what is queued is dropped, the running job is cancelled
    // and its statement cut off, and nothing more is handed back.
    void stop()
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        for (Job &job : queue)
            *job.cancelled = true;
        queue.clear();
        if (runningCancelled)
            *runningCancelled = true;
        cutOffRunning();
        relay = nullptr;
        owner = nullptr;
        wake.notify_all();
    }

    void runThread(const std::shared_ptr<Shared> &self);
};

void DbWorker::Shared::runThread(const std::shared_ptr<Shared> &self)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driverName, connectionName);
        db.setHostName(host);
        db.setDatabaseName(databaseName);
        db.setUserName(user);
        db.setPassword(password);
        if (port > 0)
            db.setPort(port);
        db.setConnectOptions(options);
        // The first open does not count as a job's reconnect; when it
        // fails, each job's runner tries once.
        db.open();
        std::lock_guard<std::mutex> lock(mutex);
        socket = connectionSocket(db);
    }
    auto session = std::make_shared<DbSession::State>();
    session->connectionName = connectionName;
    session->beforeReopen = [this]() {
        std::lock_guard<std::mutex> lock(mutex);
        socket = -1; // about to be closed: never cut off a reused descriptor
    };
    session->afterReopen = [this]() {
        const int opened = connectionSocket(QSqlDatabase::database(connectionName, false));
        std::lock_guard<std::mutex> lock(mutex);
        socket = opened;
    };

    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this]() { return stopping || !queue.empty(); });
            if (stopping)
                break;
            job = std::move(queue.front());
            queue.pop_front();
            running = job.ticket;
            runningWhat = job.what;
            runningClock.start();
            runningCancelled = job.cancelled;
        }
        // Cancelled work still runs: its runner fails at once, and the
        // continuation tells the context what became of it.
        Continuation continuation;
        {
            session->cancelled = job.cancelled;
            QPointer<QObject> context = job.context;
            session->deliver = [this, context](const std::function<void()> &then) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!relay)
                    return;
                QMetaObject::invokeMethod(
                    relay,
                    [context, then]() {
                        if (context)
                            then();
                    },
                    Qt::QueuedConnection);
            };
            DbSession handle;
            handle.state = session;
            continuation = job.work(handle);
        }
        std::lock_guard<std::mutex> lock(mutex);
        running = 0;
        runningWhat.clear();
        runningCancelled.reset();
        if (relay) {
            DbWorker *worker = owner;
            QPointer<QObject> context = job.context;
            QMetaObject::invokeMethod(
                relay,
                [worker, context, continuation]() {
                    if (continuation && context)
                        continuation();
                    worker->jobDone();
                },
                Qt::QueuedConnection);
        }
    }

    {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        std::lock_guard<std::mutex> lock(mutex);
        socket = -1;
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
    std::lock_guard<std::mutex> lock(mutex);
    threadEnded = true;
    ended.notify_all();
    Q_UNUSED(self);
}

DbWorker::DbWorker(const QSqlDatabase &source, QObject *parent)
    : QObject(parent)
    , d(std::make_shared<Shared>())
{
    d->driverName = source.driverName().isEmpty() ? QStringLiteral("QMYSQL") : source.driverName();
    d->host = source.hostName();
    d->databaseName = source.databaseName();
    d->user = source.userName();
    d->password = source.password();
    d->port = source.port();
    d->options = source.connectOptions();
    d->connectionName = QStringLiteral("tavelo-worker-%1").arg(++workerNumber);
    d->relay = new QObject(this);
    d->owner = this;
    std::shared_ptr<Shared> shared = d;
    ThreadRegistry &registry = ThreadRegistry::instance();
    std::lock_guard<std::mutex> lock(registry.mutex);
    // The threads of workers gone meanwhile: once their state is gone their
    // function has returned, so joining them takes no time. A window that
    // makes a worker per grid (posters) keeps no ended threads until exit.
    for (auto it = registry.entries.begin(); it != registry.entries.end();) {
        if (!it->shared.expired()) {
            ++it;
            continue;
        }
        if (it->thread.joinable())
            it->thread.join();
        it = registry.entries.erase(it);
    }
    registry.entries.push_back({shared, std::thread([shared]() { shared->runThread(shared); })});
}

bool DbWorker::stopAll(int waitMs)
{
    ThreadRegistry &registry = ThreadRegistry::instance();
    std::vector<ThreadRegistry::Entry> entries;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        entries.swap(registry.entries);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (ThreadRegistry::Entry &entry : entries) {
        if (const std::shared_ptr<Shared> shared = entry.shared.lock())
            shared->stop();
    }
    bool allEnded = true;
    for (ThreadRegistry::Entry &entry : entries) {
        bool ended = true;
        if (const std::shared_ptr<Shared> shared = entry.shared.lock()) {
            std::unique_lock<std::mutex> lock(shared->mutex);
            ended = shared->ended.wait_until(lock, deadline, [&shared]() { return shared->threadEnded; });
        }
        if (ended && entry.thread.joinable()) {
            entry.thread.join();
        } else if (entry.thread.joinable()) {
            entry.thread.detach();
            allEnded = false;
        }
    }
    return allEnded;
}

DbWorker::~DbWorker()
{
    d->stop();
    std::unique_lock<std::mutex> lock(d->mutex);
    // An idle thread closes its connection within moments; one stuck in a
    // statement is let go of and ends by itself (it is joined at exit).
    d->ended.wait_for(lock, std::chrono::milliseconds(1000), [this]() { return d->threadEnded; });
}

DbWorker *DbWorker::shared()
{
    static DbWorker *worker = nullptr;
    const QSqlDatabase source = QSqlDatabase::database(QSqlDatabase::defaultConnection, false);
    if (worker) {
        const std::lock_guard<std::mutex> lock(worker->d->mutex);
        const Shared &s = *worker->d;
        if (s.host == source.hostName() && s.port == source.port() && s.databaseName == source.databaseName()
            && s.user == source.userName() && s.password == source.password()
            && s.options == source.connectOptions())
            return worker;
    }
    // Not deleted: a worker busy with a stalled server must not be waited
    // for; it is let go of when replaced (tests switch servers), and at exit.
    if (worker)
        worker->deleteLater();
    worker = new DbWorker(source, QCoreApplication::instance());
    return worker;
}

quint64 DbWorker::post(QObject *context, const Work &work, const QString &what)
{
    Shared::Job job;
    job.context = context;
    job.work = work;
    job.what = what;
    job.cancelled = std::make_shared<std::atomic_bool>(false);
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        ticket = job.ticket = d->nextTicket++;
        d->queue.push_back(std::move(job));
        d->wake.notify_one();
    }
    if (++pendingJobs == 1)
        emit busyChanged(true);
    return ticket;
}

void DbWorker::jobDone()
{
    if (pendingJobs > 0 && --pendingJobs == 0)
        emit busyChanged(false);
}

void DbWorker::cancel(quint64 ticket)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    for (Shared::Job &job : d->queue) {
        if (job.ticket == ticket)
            *job.cancelled = true;
    }
    if (d->running == ticket && d->runningCancelled) {
        *d->runningCancelled = true;
        d->cutOffRunning();
    }
}

void DbWorker::cancelQueued(quint64 ticket)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    for (Shared::Job &job : d->queue) {
        if (job.ticket == ticket)
            *job.cancelled = true;
    }
}

void DbWorker::cancelAll()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    for (Shared::Job &job : d->queue)
        *job.cancelled = true;
    if (d->running && d->runningCancelled) {
        *d->runningCancelled = true;
        d->cutOffRunning();
    }
}

bool DbWorker::isBusy() const
{
    return pendingJobs > 0;
}

QString DbWorker::runningWhat() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->runningWhat;
}

qint64 DbWorker::runningForMs() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->running ? d->runningClock.elapsed() : 0;
}

quint64 DbWorker::runningTicket() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->running;
}

void DbWorker::runAndWait(QObject *context, const Work &work, const QString &what)
{
    QEventLoop loop;
    bool done = false;
    QPointer<QEventLoop> waiting(&loop);
    QPointer<QObject> guarded(context);
    post(
        this,
        [work, &done, waiting, guarded](DbSession &session) -> Continuation {
            Continuation then = work(session);
            return [then, &done, waiting, guarded]() {
                if (then && guarded)
                    then();
                done = true;
                if (waiting)
                    waiting->quit();
            };
        },
        what);
    if (!done)
        loop.exec();
}
