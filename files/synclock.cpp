#include "files/synclock.h"

#include "files/partialfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// What the lock file says: program, process, host and start, tab-separated.
QByteArray holderLine()
{
    QString program = QCoreApplication::applicationName();
    if (program.isEmpty())
        program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return QStringLiteral("%1\t%2\t%3\t%4\n")
        .arg(program)
        .arg(QCoreApplication::applicationPid())
        .arg(PartialFile::hostTag(), QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
        .toUtf8();
}

QString describeHolder(const QByteArray &content)
{
    const QStringList fields = QString::fromUtf8(content).trimmed().split(QLatin1Char('\t'));
    if (fields.size() != 4)
        return QStringLiteral("another run that is just starting");
    return QStringLiteral("%1, process %2 on %3, since %4").arg(fields.at(0), fields.at(1), fields.at(2), fields.at(3));
}

} // namespace

QString SyncLock::deniedText() const
{
    return QStringLiteral("its lock file %1 belongs to %2, and this user may not write it (%3)")
        .arg(QDir::toNativeSeparators(path), fileOwner, failure);
}

SyncLock::~SyncLock()
{
    release();
}

SyncLock::Result SyncLock::take(const QString &rootPath)
{
    return takeFile(QDir(rootPath).filePath(QLatin1String(fileName)));
}

SyncLock::Result SyncLock::takeFile(const QString &filePath, OnRelease onRelease)
{
    release();
    heldBy.clear();
    failure.clear();
    fileOwner.clear();
    path = filePath;
    whenReleased = onRelease;
    return lockFile();
}

#ifndef Q_OS_WIN

namespace {

bool lockDescriptor(int handle)
{
#ifdef F_OFD_SETLK
    // Belongs to this open file, not to the process: a second run in the
    // same process is refused as well.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(handle, F_OFD_SETLK, &lock) == 0;
#else
    return ::flock(handle, LOCK_EX | LOCK_NB) == 0;
#endif
}

QByteArray readHandle(int handle)
{
    QByteArray content(512, Qt::Uninitialized);
    const ssize_t got = ::pread(handle, content.data(), size_t(content.size()), 0);
    content.resize(got > 0 ? int(got) : 0);
    return content;
}

// Whether some run holds the lock of a file this user may only read.
bool isLocked(int handle)
{
#ifdef F_OFD_GETLK
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(handle, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
#else
    if (::flock(handle, LOCK_SH | LOCK_NB) == 0) {
        ::flock(handle, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
#endif
}

QString userName(uid_t uid)
{
    struct passwd entry {};
    struct passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("the user with uid %1").arg(uid);
}

} // namespace

SyncLock::Result SyncLock::lockFile()
{
    const QByteArray name = QFile::encodeName(path);
    for (int attempt = 0; attempt < 5; ++attempt) {
        // As writable as the user's umask lets files be: on a shared disk
        // whose users share a group, each of them must be able to take it.
        const int handle = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (handle < 0) {
            const int why = errno;
            failure = QString::fromLocal8Bit(std::strerror(why));
            struct stat existing {};
            if ((why == EACCES || why == EPERM) && ::lstat(name.constData(), &existing) == 0) {
                // Another user's file: whoever holds it (if the file can be
                // read) is named, but the lock is never done without.
                fileOwner = userName(existing.st_uid);
                const int readable = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
                if (readable >= 0) {
                    if (isLocked(readable))
                        heldBy = describeHolder(readHandle(readable));
                    ::close(readable);
                }
                return Result::Denied;
            }
            return Result::Unavailable;
        }
        if (!lockDescriptor(handle)) {
            const int why = errno;
            if (why == EWOULDBLOCK || why == EAGAIN || why == EACCES) {
                heldBy = describeHolder(readHandle(handle));
                ::close(handle);
                return Result::Held;
            }
            failure = QString::fromLocal8Bit(std::strerror(why));
            ::close(handle);
            return Result::Unavailable;
        }
        // The run that held it may have removed the file between our open
        // and our lock: a lock on a file no longer under the name guards
        // nothing, so take the one now there.
        struct stat opened {}, named {};
        if (::fstat(handle, &opened) != 0 || ::stat(name.constData(), &named) != 0 || opened.st_ino != named.st_ino
            || opened.st_dev != named.st_dev) {
            ::close(handle);
            continue;
        }
        const QByteArray line = holderLine();
        if (::ftruncate(handle, 0) != 0 || ::pwrite(handle, line.constData(), size_t(line.size()), 0) < 0) {
            // The lock holds all the same; only the message would lack its holder.
        }
        fd = handle;
        return Result::Taken;
    }
    failure = QStringLiteral("the lock file %1 keeps being replaced").arg(QDir::toNativeSeparators(path));
    return Result::Unavailable;
}

void SyncLock::release()
{
    if (fd < 0)
        return;
    // Removed while still held, then closed: a run waiting on the old file
    // sees it is no longer under the name and takes the new one.
    if (whenReleased == OnRelease::Remove)
        ::unlink(QFile::encodeName(path).constData());
    ::close(fd);
    fd = -1;
}

bool SyncLock::isHeld() const
{
    return fd >= 0;
}

#else

namespace {
// The locked byte lies far beyond the holder line, so the line stays
// readable while the lock is held.
OVERLAPPED lockedRange()
{
    OVERLAPPED range {};
    range.OffsetHigh = 1;
    return range;
}
} // namespace

SyncLock::Result SyncLock::lockFile()
{
    const HANDLE opened = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                      GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD why = GetLastError();
        if (why == ERROR_ACCESS_DENIED || why == ERROR_SHARING_VIOLATION) {
            // Being removed by the run that just ended, or held.
            heldBy = describeHolder(QByteArray());
            return Result::Held;
        }
        failure = QStringLiteral("error %1").arg(why);
        return Result::Unavailable;
    }
    OVERLAPPED range = lockedRange();
    if (!LockFileEx(opened, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        char content[512];
        DWORD got = 0;
        ReadFile(opened, content, sizeof content, &got, nullptr);
        heldBy = describeHolder(QByteArray(content, int(got)));
        CloseHandle(opened);
        return Result::Held;
    }
    const QByteArray line = holderLine();
    DWORD written = 0;
    SetFilePointer(opened, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(opened);
    WriteFile(opened, line.constData(), DWORD(line.size()), &written, nullptr);
    handle = opened;
    return Result::Taken;
}

void SyncLock::release()
{
    if (handle == INVALID_HANDLE_VALUE)
        return;
    if (whenReleased == OnRelease::Remove)
        DeleteFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
    OVERLAPPED range = lockedRange();
    UnlockFileEx(handle, 0, 1, 0, &range);
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

bool SyncLock::isHeld() const
{
    return handle != INVALID_HANDLE_VALUE;
}

#endif
