#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>

// Computes the MD5 and SHA-1 digests of a file in one sequential read. The
// blocks read feed both digests, MD5 on a thread of its own, so the pair
// costs about as much as the slower digest alone; memory stays at a few blocks
// whatever the file's size (camera clips are several gigabytes).
class ClipHasher
{
public:
    enum class Status { Ok, OpenFailed, NotAFile, ReadFailed, SizeChanged, Cancelled };

    struct Result
    {
        Status status = Status::Ok;
        QByteArray md5;    // lowercase hexadecimal, 32 characters
        QByteArray sha1;   // lowercase hexadecimal, 40 characters
        qint64 bytes = 0;  // bytes read
        // The file as it was hashed (unchanged from the first read to the
        // last), for remembering the digests.
        qint64 size = -1;
        qint64 modifiedNs = 0;
        QString error;     // why the file could not be hashed
    };

    // Called from the reading thread after each block with the bytes read
    // so far in this file.
    using ProgressFunction = std::function<void(qint64 bytesRead)>;

    static constexpr qint64 defaultBlockSize = 4 * 1024 * 1024;
    static constexpr int defaultBlockCount = 4;

    explicit ClipHasher(qint64 blockSize = defaultBlockSize, int blockCount = defaultBlockCount);

    // Hashes the file at path; anything but a regular file gives NotAFile
    // without ever waiting on it. Returns Cancelled as soon as *cancel turns
    // true (checked between blocks). A file whose size changes while it is
    // read (still being copied) gives SizeChanged.
    Result hashFile(const QString &path, const std::atomic_bool *cancel = nullptr,
                    const ProgressFunction &progress = ProgressFunction()) const;

    // Digests of data held in memory, for small inputs and checks.
    static Result hashData(const QByteArray &data);

private:
    qint64 blockSize;
    int blockCount;
};
