#pragma once

#include <QByteArray>
#include <QCache>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

#include <memory>

// Fetches the poster JPEGs of shots from the table shot_posters for a view
// that shows many shots, the grid's first database work off the GUI thread.
//
// The statements run on a thread of its own, over a connection of its own
// made with the settings of the given connection (the login's default
// one): a Qt SQL connection belongs to its thread, and the GUI thread's is
// never touched. A request names the contents wanted now (the rows in
// view) and replaces every earlier one not yet served, so what scrolled
// out of view is not fetched; posters come back by posterReady on the
// thread that owns the fetcher and stay in a cache bounded in bytes, so a
// view scrolled back shows them at once. The JPEG bytes are delivered as
// they are stored (this class needs no Qt Gui); the view decodes them.
//
// The thread is never waited for: a server that stopped answering cannot
// freeze the window that owns a fetcher. It ends by itself once its
// statement returns (within the connection's statement limit).
class PosterFetcher : public QObject
{
    Q_OBJECT

public:
    // A content: its MD5 and SHA-1 as lowercase hexadecimal text.
    using Content = QPair<QByteArray, QByteArray>;

    static constexpr qint64 defaultCacheBytes = 48 * 1024 * 1024;

    explicit PosterFetcher(const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection),
                           QObject *parent = nullptr);
    ~PosterFetcher() override;

    // The contents whose posters are wanted now, most wanted first. Those
    // cached or known to have no poster are not fetched again.
    void request(const QList<Content> &contents);

    // A poster fetched before (and still cached), else an empty array.
    QByteArray poster(const QByteArray &md5, const QByteArray &sha1) const;
    // Whether the content was fetched and has no poster.
    bool hasNoPoster(const QByteArray &md5, const QByteArray &sha1) const;

    void setCacheLimit(qint64 bytes);
    qint64 cacheLimit() const { return cache.maxCost(); }
    qint64 cacheBytes() const { return cache.totalCost(); }

    // False once the posters turned out not to be there for this user (no
    // table shot_posters, no right to read it); problem() says why.
    bool isAvailable() const { return available; }
    QString problem() const { return lastProblem; }

    // Statements the thread has run, for tests of what a request costs.
    int statementsRun() const;
    // Fetching threads still running, also those let go of.
    static int runningThreads();

signals:
    // One content fetched: jpeg is empty when it has no poster.
    void posterReady(const QByteArray &md5, const QByteArray &sha1, const QByteArray &jpeg);
    // A fetch failed (the server cannot be reached, the table is missing).
    // The reason is written for people; when the table is missing it says
    // how to turn posters on. Said once per reason.
    void problemOccurred(const QString &reason);

private:
    struct Shared;

    void delivered(const QList<QPair<Content, QByteArray>> &posters);
    void failed(const QString &reason, bool permanent);

    std::shared_ptr<Shared> shared;
    QCache<Content, QByteArray> cache;
    QSet<Content> withoutPoster;
    bool available = true;
    QString lastProblem;
};
