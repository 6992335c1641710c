#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

#include "db/statementrunner.h"

// What a job on the database thread gets: the thread's own connection,
// runners for its statements, and whether the user has cancelled it.
class DbSession
{
public:
    QSqlDatabase database() const;
    bool isCancelled() const;
    // A runner for one action on the thread's connection; it stops at once
    // when the job is cancelled.
    StatementRunner runner() const;
    // Hands a continuation to the job's context now, before the job ends
    // (progress, or the rows of a chunk already committed).
    void deliver(const std::function<void()> &continuation) const;

private:
    friend class DbWorker;
    struct State;
    std::shared_ptr<State> state;
};

// The thread on which the client talks to the server, so that the GUI thread
// never waits for it. This is the one way the windows run database work off
// the GUI thread: a job runs on the worker's own connection (a copy of the
// login's), jobs run one after the other in the order they were posted,
// and each hands back a continuation that runs on the thread of the object
// that posted it (dropped when that object is gone).
//
// The thread may block in a statement for as long as the server stalls, so
// it is never waited for without a bound: cancel() cuts the connection's
// socket under a waiting statement, which then fails at once, and the
// destructor lets go of a thread still busy after a second (it ends when
// its statement returns). At exit, stopAll() ends and joins them all. A Qt SQL connection belongs to the thread that opened it; the
// worker's connection is opened, used and closed on the worker's thread only.
class DbWorker : public QObject
{
    Q_OBJECT

public:
    using Continuation = std::function<void()>;
    using Work = std::function<Continuation(DbSession &)>;

    // A worker with the connection settings of source (host, port, database,
    // user, password, options), read now, on the caller's thread.
    explicit DbWorker(const QSqlDatabase &source, QObject *parent = nullptr);
    ~DbWorker() override;

    // The worker of the login's default connection, created on first use
    // (and again when the default connection was replaced by another
    // server or user). Lives until the process ends.
    static DbWorker *shared();

    // Queues work; returns its ticket. what names it for the busy note.
    quint64 post(QObject *context, const Work &work, const QString &what = QString());
    // Cancels queued work, and the running one: the job sees isCancelled()
    // between its statements, and a statement waiting for the server is cut
    // off (the connection is reopened by the next job).
    void cancel(quint64 ticket);
    // Cancels work that has not started yet; work already running goes on.
    void cancelQueued(quint64 ticket);
    void cancelAll();

    // Work queued or running.
    bool isBusy() const;
    // What the running job is, and how long it has run (ms), for the busy note.
    QString runningWhat() const;
    qint64 runningForMs() const;
    quint64 runningTicket() const;

    // Ends every worker's thread before the process ends: cuts each waiting
    // statement (as cancel() does), lets its job end, closes its connection
    // and joins the thread, within waitMs in all. False when a thread did
    // not end in time (stuck in a connect to a stalled server): the process
    // must then end without running static destructors under it (_Exit),
    // since Qt SQL's globals would go away while the thread uses them.
    static bool stopAll(int waitMs);

    // Runs work and waits for it in a local event loop (the window keeps
    // painting and taking input meanwhile). For the few places that must
    // have an answer before they go on, such as a scan that asks the
    // server about each clip. The continuation runs only while context
    // lives; the wait ends either way.
    void runAndWait(QObject *context, const Work &work, const QString &what = QString());

signals:
    // Emitted on the GUI thread when the worker turns busy or idle.
    void busyChanged(bool busy);

public:
    // The state the worker shares with its thread (see dbworker.cpp).
    struct Shared;

private:
    void jobDone();

    std::shared_ptr<Shared> d;
    int pendingJobs = 0; // posted and not yet handed back (GUI thread)
};
