#include "projects/cliphasher.h"

#include "files/clipfinder.h"

#include <QDateTime>
#include <QFile>

#include <openssl/evp.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

class Digest
{
public:
    explicit Digest(const EVP_MD *type)
        : context(EVP_MD_CTX_new())
    {
        EVP_DigestInit_ex(context, type, nullptr);
    }
    ~Digest() { EVP_MD_CTX_free(context); }
    Digest(const Digest &) = delete;
    Digest &operator=(const Digest &) = delete;

    void add(const char *data, qint64 length) { EVP_DigestUpdate(context, data, size_t(length)); }

    QByteArray hex()
    {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context, value, &length);
        return QByteArray(reinterpret_cast<const char *>(value), int(length)).toHex();
    }

private:
    EVP_MD_CTX *context;
};

// Blocks handed from the reader to the MD5 thread; the reader feeds SHA-1
// itself, which is more than twice as fast, while MD5 works through the
// blocks read ahead. A slot is reused only after both digests have taken
// its block.
class BlockRing
{
public:
    BlockRing(qint64 blockSize, int count)
        : blocks(size_t(count))
    {
        for (Slot &slot : blocks)
            slot.data.reset(new char[size_t(blockSize)]);
    }

    // Reader side: a free slot's buffer for block `index`, or nullptr.
    char *waitForFree(qint64 index)
    {
        Slot &slot = at(index);
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return slot.pending == 0; });
        return slot.data.get();
    }

    void publish(qint64 index, qint64 length)
    {
        Slot &slot = at(index);
        std::lock_guard<std::mutex> lock(mutex);
        slot.length = length;
        slot.block = index;
        slot.pending = 2;
        changed.notify_all();
    }

    void finish(qint64 count)
    {
        std::lock_guard<std::mutex> lock(mutex);
        totalBlocks = count;
        changed.notify_all();
    }

    void abort()
    {
        std::lock_guard<std::mutex> lock(mutex);
        aborted = true;
        changed.notify_all();
    }

    // The reader's own digest is done with a block.
    void release(qint64 index)
    {
        Slot &slot = at(index);
        std::lock_guard<std::mutex> lock(mutex);
        if (--slot.pending == 0)
            changed.notify_all();
    }

    // Digest side: feeds every block, in order, until the end or an abort.
    void consume(Digest &digest)
    {
        for (qint64 index = 0;; ++index) {
            Slot &slot = at(index);
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] {
                    return aborted || slot.block == index || (totalBlocks >= 0 && index >= totalBlocks);
                });
                if (aborted || slot.block != index)
                    return;
            }
            digest.add(slot.data.get(), slot.length);
            std::lock_guard<std::mutex> lock(mutex);
            if (--slot.pending == 0)
                changed.notify_all();
        }
    }

private:
    struct Slot
    {
        std::unique_ptr<char[]> data;
        qint64 length = 0;
        qint64 block = -1;
        int pending = 0;
    };

    Slot &at(qint64 index) { return blocks[size_t(index % qint64(blocks.size()))]; }

    std::vector<Slot> blocks;
    std::mutex mutex;
    std::condition_variable changed;
    qint64 totalBlocks = -1;
    bool aborted = false;
};

// Reads until the buffer is full or the file ends; -1 on a read error.
qint64 readBlock(QFile &file, char *buffer, qint64 size)
{
    qint64 filled = 0;
    while (filled < size) {
        const qint64 got = file.read(buffer + filled, size - filled);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        filled += got;
    }
    return filled;
}

#ifdef Q_OS_UNIX
using ClipFinder::modifiedNs;
#endif

struct FileState
{
    qint64 size = -1;
    qint64 modifiedNs = 0;
};

// Size and modification time of the open file, to the nanosecond where the
// file system keeps it.
FileState fileState(QFile &file)
{
    FileState state;
#ifdef Q_OS_UNIX
    struct stat status {};
    if (fstat(file.handle(), &status) == 0) {
        state.size = qint64(status.st_size);
        state.modifiedNs = modifiedNs(status);
    }
#else
    state.size = file.size();
    state.modifiedNs = file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch() * 1000000;
#endif
    return state;
}

constexpr qint64 smallFileSize = 1024 * 1024;

#ifdef Q_OS_UNIX
// A small file in one read on the calling thread, straight from its
// descriptor: a thread for MD5, a ring of blocks and QFile would cost more
// than the digests themselves (think of 20,000 short clips). Reads one byte
// more than the size, to see a file that grew meanwhile.
void hashSmallFile(int fd, const struct stat &before, ClipHasher::Result &result)
{
    QByteArray buffer(int(before.st_size) + 1, Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < buffer.size()) {
        const ssize_t got = ::read(fd, buffer.data() + filled, size_t(buffer.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            result.status = ClipHasher::Status::ReadFailed;
            result.error = QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        if (got == 0)
            break;
        filled += got;
    }
    struct stat after {};
    if (fstat(fd, &after) != 0 || filled != qint64(before.st_size) || after.st_size != before.st_size
        || modifiedNs(after) != modifiedNs(before)) {
        result.status = ClipHasher::Status::SizeChanged;
        result.error = QStringLiteral("changed while it was read (%1 bytes at the start, %2 at the end); "
                                      "it may still be being copied, sync again once it is complete")
                           .arg(qint64(before.st_size))
                           .arg(qint64(after.st_size));
        return;
    }
    Digest md5(EVP_md5());
    Digest sha1(EVP_sha1());
    md5.add(buffer.constData(), filled);
    sha1.add(buffer.constData(), filled);
    result.md5 = md5.hex();
    result.sha1 = sha1.hex();
    result.bytes = filled;
    result.size = filled;
    result.modifiedNs = modifiedNs(before);
}
#endif

} // namespace

ClipHasher::ClipHasher(qint64 blockSize, int blockCount)
    : blockSize(qMax<qint64>(blockSize, 4096))
    , blockCount(qMax(blockCount, 2))
{
}

ClipHasher::Result ClipHasher::hashData(const QByteArray &data)
{
    Digest md5(EVP_md5());
    Digest sha1(EVP_sha1());
    md5.add(data.constData(), data.size());
    sha1.add(data.constData(), data.size());
    Result result;
    result.md5 = md5.hex();
    result.sha1 = sha1.hex();
    result.bytes = data.size();
    return result;
}

ClipHasher::Result ClipHasher::hashFile(const QString &path, const std::atomic_bool *cancel,
                                        const ProgressFunction &progress) const
{
    Result result;
    // Unbuffered: blocks go straight from the system into the ring, without
    // a second copy through QFile's own buffer.
    QFile file;
#ifdef Q_OS_UNIX
    // Opened without blocking and checked before the first read: opening a
    // FIFO would wait for a writer for ever, and a device such as /dev/zero
    // never ends. The walk already leaves such names out; this holds also
    // when a clip was replaced by one after the walk.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.status = Status::OpenFailed;
        result.error = QStringLiteral("cannot be opened: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        result.status = Status::NotAFile;
        result.error = QStringLiteral("is not a regular file (a FIFO, a device or a folder), so it is not a clip");
        return result;
    }
    // O_NONBLOCK has no effect on a regular file, so it may stay set.
    if (status.st_size < qMin<qint64>(blockSize, smallFileSize)) {
        hashSmallFile(fd, status, result);
        ::close(fd);
        return result;
    }
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        result.status = Status::OpenFailed;
        result.error = QStringLiteral("cannot be opened: %1").arg(file.errorString());
        return result;
    }
#ifndef Q_OS_MACOS
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
#else
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        result.status = Status::OpenFailed;
        result.error = QStringLiteral("cannot be opened: %1").arg(file.errorString());
        return result;
    }
#endif
    const FileState start = fileState(file);
    const qint64 startSize = start.size;

    Digest md5(EVP_md5());
    Digest sha1(EVP_sha1());
    if (startSize >= 0 && startSize < qMin<qint64>(blockSize, smallFileSize)) {
        // A small file in one read on this thread (see hashSmallFile).
        QByteArray buffer(int(startSize) + 1, Qt::Uninitialized);
        const qint64 got = readBlock(file, buffer.data(), buffer.size());
        if (got < 0) {
            result.status = Status::ReadFailed;
            result.error = QStringLiteral("cannot be read: %1").arg(file.errorString());
            return result;
        }
        md5.add(buffer.constData(), got);
        sha1.add(buffer.constData(), got);
        result.bytes = got;
        if (progress)
            progress(result.bytes);
    } else {
        BlockRing ring(blockSize, blockCount);
        std::thread md5Thread([&] { ring.consume(md5); });

        for (qint64 index = 0;; ++index) {
            if (cancel && cancel->load()) {
                result.status = Status::Cancelled;
                result.error = QStringLiteral("cancelled");
                break;
            }
            char *buffer = ring.waitForFree(index);
            const qint64 got = readBlock(file, buffer, blockSize);
            if (got < 0) {
                result.status = Status::ReadFailed;
                result.error = QStringLiteral("cannot be read: %1").arg(file.errorString());
                break;
            }
            if (got == 0) {
                ring.finish(index);
                break;
            }
            ring.publish(index, got);
            sha1.add(buffer, got);
            ring.release(index);
            result.bytes += got;
            if (progress)
                progress(result.bytes);
        }
        if (result.status != Status::Ok)
            ring.abort();
        md5Thread.join();
        if (result.status != Status::Ok)
            return result;
    }

    const FileState end = fileState(file);
    const qint64 endSize = end.size;
    if (result.bytes != startSize || endSize != startSize || end.modifiedNs != start.modifiedNs) {
        result.status = Status::SizeChanged;
        result.error = QStringLiteral("changed while it was read (%1 bytes at the start, %2 at the end); "
                                      "it may still be being copied, sync again once it is complete")
                           .arg(startSize)
                           .arg(endSize);
        return result;
    }
    result.md5 = md5.hex();
    result.sha1 = sha1.hex();
    result.size = startSize;
    result.modifiedNs = start.modifiedNs;
    return result;
}
