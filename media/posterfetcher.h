#pragma once

#include <QByteArray>
#include <QCache>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>

class DbSession;
class DbWorker;
class QTimer;

// Fetches the posters of shots from the table shot_posters for a view that
// shows many shots, and turns them into pictures, off the GUI thread.
//
// The statements run on a database thread of the fetcher's own (DbWorker,
// not the shared one: posters never wait behind saves, and saves never
// behind posters), through its statement runner. A request names the
// contents wanted now (the rows in view) and drops every earlier one not
// yet started, so what scrolled out of view is not fetched.
//
// Each poster is decoded on that thread too, by the decoder the view hands
// over (this class needs no Qt Gui): the GUI thread only gets finished
// pictures. Pictures come back by posterReady on the thread that owns the
// fetcher and stay in a cache bounded in bytes, so a view scrolled back
// shows them at once.
//
// A server that stops answering or restarts pauses the posters: that is
// said once, and the last request is tried again by itself, further apart
// each time, until the server answers. Only tables that are missing or not
// as this version expects turn posters off for the session.
class PosterFetcher : public QObject
{
    Q_OBJECT

public:
    // A content: its MD5 and SHA-1 as lowercase hexadecimal text.
    using Content = QPair<QByteArray, QByteArray>;

    // What a decoder made of a poster's bytes.
    struct Picture
    {
        QVariant value;   // what the view shows; invalid when refused
        qint64 bytes = 0; // the memory it holds, counted against the cache's bound
        QString refusal;  // why it is not shown, for people ("its picture is 5760x5760 pixels, ...")
    };
    // Runs on the fetcher's thread, once per poster fetched; it must not
    // touch anything of the GUI thread. Without one, the bytes as stored
    // are the value.
    using Decoder = std::function<Picture(const QByteArray &bytes)>;

    static constexpr qint64 defaultCacheBytes = 48 * 1024 * 1024;

    // Whether a picture of this size may be a poster: the sync writes them
    // 320 pixels wide and at most four times as high; a little slack for
    // other tools. A decoder refuses larger ones before decoding them.
    static bool fitsPosterSize(int width, int height);

    explicit PosterFetcher(const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection),
                           QObject *parent = nullptr);
    ~PosterFetcher() override;

    // Set before the first request; what is cached stays as it was made.
    void setDecoder(const Decoder &decoder) { decode = decoder; }
    Decoder decoder() const { return decode; }

    // The contents whose posters are wanted now, most wanted first. Those
    // cached or known to have no poster are not fetched again.
    void request(const QList<Content> &contents);

    // The picture of a poster fetched before (and still cached), else an
    // invalid value.
    QVariant poster(const QByteArray &md5, const QByteArray &sha1) const;
    // Whether the content was fetched and has no poster to show (none is
    // stored, or the decoder refused it).
    bool hasNoPoster(const QByteArray &md5, const QByteArray &sha1) const;
    // Why a fetched poster is not shown, or an empty text.
    QString refusal(const QByteArray &md5, const QByteArray &sha1) const;

    void setCacheLimit(qint64 bytes);
    qint64 cacheLimit() const { return cache.maxCost(); }
    qint64 cacheBytes() const { return cache.totalCost(); }

    // False once the posters turned out not to be there for this user (no
    // table shot_posters, no right to read it); problem() says why.
    bool isAvailable() const { return available; }
    // True while the server does not answer; the posters come back by
    // themselves once it does.
    bool isWaitingForServer() const { return waiting; }
    QString problem() const { return lastProblem; }

    // Statements the fetcher's thread has run, for tests of what a request costs.
    int statementsRun() const { return *statements; }

signals:
    // One content fetched: picture is what the decoder made, invalid when
    // the content has no poster or the decoder refused it (refusal says why).
    void posterReady(const QByteArray &md5, const QByteArray &sha1, const QVariant &picture,
                     const QString &refusal);
    // Fetching failed: the server does not answer (posters wait for it), or
    // the table is missing (posters are off; the text says how to turn
    // them on). Written for people, said once per reason.
    void problemOccurred(const QString &reason);

private:
    struct Fetched
    {
        Content content;
        Picture picture; // invalid when none is stored, or refused
    };
    enum class Outcome { Fetched, ServerAway, TablesMissing, Refused, Dropped };
    struct Result
    {
        Outcome outcome = Outcome::Dropped;
        QString reason;
        QList<Fetched> posters;
    };
    struct Pending
    {
        quint64 ticket = 0;
        QList<Content> contents;
    };

    // Runs on the worker's thread: one statement, and the decoder.
    static Result fetch(DbSession &session, const QList<Content> &chunk, const Decoder &decode,
                        std::atomic<int> &statements);
    void post(const QList<Content> &chunk);
    void finished(quint64 job, const Result &result);
    void retry();
    void say(const QString &reason);

    QString connectionName;
    Decoder decode;
    DbWorker *worker = nullptr; // made with the first request
    QTimer *retryTimer = nullptr;
    int retryDelayMs = 0;
    bool retryDue = false;
    QHash<quint64, Pending> pending; // by job, posted and not handed back
    quint64 jobCount = 0;
    QList<Content> latest;           // the last request's contents, for a retry
    std::shared_ptr<std::atomic<int>> statements;

    QCache<Content, Picture> cache;
    QSet<Content> withoutPoster;
    QHash<Content, QString> refused;
    bool available = true;
    bool waiting = false;
    QString lastProblem;
};
