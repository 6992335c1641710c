#pragma once

#include <QString>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

// Keeps a second sync off a local root that is being synced: a run takes
// the lock beside the root's cache file before it writes anything, and a
// second run of the client, of tavelo-sync or of another workstation on a
// shared root is refused while it is held.
//
// The lock is the operating system's lock on the open file
// dbclient.cache.lock (an open-file-description lock on Linux, so two runs
// in one process exclude each other too; a byte-range lock on Windows). The
// system releases it when the run ends or its process is gone, however it
// ended, so a crash never leaves a root locked; the file itself only says
// who holds it, for the message.
//
// A lock file another user made and this one may not write (made with a
// umask that keeps others from writing it) cannot be taken: that is Denied,
// never a lock quietly done without, or two runs would go on together.
//
// takeFile() takes the same kind of lock on any file; the transcode scan
// and queue use it for the output trees' name maps.
class SyncLock
{
public:
    static constexpr char fileName[] = "dbclient.cache.lock";

    enum class Result {
        Taken,
        Held,        // another run holds it: holder() says which
        Denied,      // the lock file is another user's, who alone may write it: owner() and
                     // errorString() say whose and why; holder() who holds it, if anyone does
        Unavailable, // the lock file cannot be made here (a read-only root): error() says why
    };

    SyncLock() = default;
    ~SyncLock();
    SyncLock(const SyncLock &) = delete;
    SyncLock &operator=(const SyncLock &) = delete;

    Result take(const QString &rootPath);
    // What release() does with the file.
    enum class OnRelease {
        Remove, // a lock of one run: nothing is left behind
        Keep,   // a lock taken again and again: made once, not for every turn
    };
    // Locks the file at filePath (made when missing).
    Result takeFile(const QString &filePath, OnRelease onRelease = OnRelease::Remove);
    void release();
    bool isHeld() const;

    // "tavelo-sync, process 4242 on ws-3, since 2026-03-17 14:02:11".
    QString holder() const { return heldBy; }
    QString errorString() const { return failure; }
    // The user name of the lock file's owner, after Denied.
    QString owner() const { return fileOwner; }
    // After Denied: "its lock file <path> belongs to <owner>, and this user
    // may not write it (<reason>)".
    QString deniedText() const;

private:
    // Opens and locks the file at path, the system's way.
    Result lockFile();

    QString path;
    OnRelease whenReleased = OnRelease::Remove;
    QString heldBy;
    QString failure;
    QString fileOwner;
#ifdef Q_OS_WIN
    HANDLE handle = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
};
