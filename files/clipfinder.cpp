#include "files/clipfinder.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_WIN
#include <QDirIterator>
#else
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace {

const char clipSuffix[] = "MTS";

bool isClipNameBytes(const QByteArray &name)
{
    const int dot = name.indexOf('.');
    return dot >= 0 && name.mid(dot + 1) == clipSuffix;
}

// Length of the valid UTF-8 sequence starting at data[i], or 0.
int utf8SequenceLength(const QByteArray &data, int i)
{
    const auto byte = [&](int k) { return k < data.size() ? uchar(data.at(k)) : 0; };
    const uchar lead = byte(i);
    if (lead < 0x80)
        return 1;
    int length = 0;
    uchar low = 0x80, high = 0xBF;   // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;               // no overlong forms
        if (lead == 0xED)
            high = 0x9F;              // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;              // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (int k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    }
    return length;
}

bool isValidUtf8(const QByteArray &data)
{
    for (int i = 0; i < data.size();) {
        const int length = utf8SequenceLength(data, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

QString hexByte(uchar byte)
{
    return QLatin1String("\\x") + QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

#ifndef Q_OS_WIN
QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
#endif

void sortByPath(ClipWalk &walk)
{
    std::sort(walk.clips.begin(), walk.clips.end(),
              [](const ClipEntry &a, const ClipEntry &b) { return a.path < b.path; });
    std::sort(walk.skipped.begin(), walk.skipped.end(),
              [](const SkippedEntry &a, const SkippedEntry &b) { return a.path < b.path; });
}

} // namespace

bool ClipFinder::isClipName(const QString &fileName)
{
    return isClipNameBytes(fileName.toUtf8());
}

QString ClipFinder::escapedName(const QByteArray &bytes)
{
    QString text;
    for (int i = 0; i < bytes.size();) {
        const uchar byte = uchar(bytes.at(i));
        const int length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            text += hexByte(byte);
            ++i;
        } else if (byte == '\n') {
            text += QLatin1String("\\n");
            ++i;
        } else if (byte == '\r') {
            text += QLatin1String("\\r");
            ++i;
        } else if (byte == '\t') {
            text += QLatin1String("\\t");
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            text += hexByte(byte);
            ++i;
        } else {
            text += QString::fromUtf8(bytes.constData() + i, length);
            i += length;
        }
    }
    return text;
}

QString ClipFinder::rootProblem(const QString &rootPath)
{
    const QString shown = QDir::toNativeSeparators(rootPath);
    if (rootPath.isEmpty())
        return QStringLiteral("No local root path is given.");
    const QFileInfo info(rootPath);
    if (!info.exists())
        return QStringLiteral("The local root path \"%1\" does not exist.").arg(shown);
    if (!info.isDir())
        return QStringLiteral("The local root path \"%1\" is not a folder.").arg(shown);
#ifndef Q_OS_WIN
    const QByteArray path = QFile::encodeName(rootPath);
    // Entering needs search permission; stat of "root/." checks exactly that.
    struct stat status {};
    if (stat((path + "/.").constData(), &status) != 0)
        return QStringLiteral("The local root \"%1\" cannot be entered: %2").arg(shown, systemError(errno));
    DIR *dir = opendir(path.constData());
    if (!dir)
        return QStringLiteral("The local root \"%1\" cannot be listed: %2").arg(shown, systemError(errno));
    closedir(dir);
#else
    if (!QDir(rootPath).isReadable())
        return QStringLiteral("The local root \"%1\" cannot be listed.").arg(shown);
#endif
    return QString();
}

QList<ClipEntry> ClipFinder::findClips(const QString &rootPath)
{
    return walk(rootPath).clips;
}

#ifndef Q_OS_WIN

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

} // namespace

// opendir/readdir rather than QDirIterator: the iterator drops folders it
// cannot list and names it cannot decode without a word, and both must be
// reported. Paths are kept as bytes until they are known to be valid UTF-8.
ClipWalk ClipFinder::walk(const QString &rootPath, const std::atomic_bool *cancel)
{
    ClipWalk result;
    const QByteArray root = QFile::encodeName(QDir(rootPath).absolutePath()) + '/';
    QList<QByteArray> folders{QByteArrayLiteral("raw")};   // relative to root, without a trailing '/'

    while (!folders.isEmpty()) {
        if (cancel && cancel->load()) {
            result.cancelled = true;
            break;
        }
        const QByteArray folder = folders.takeLast();
        const QByteArray folderPath = root + folder;
        DIR *dir = opendir(folderPath.constData());
        if (!dir) {
            const int error = errno;
            if (folder == "raw" && error == ENOENT) {
                result.rawMissing = true;
                continue;
            }
            result.skipped << SkippedEntry{escapedName(folder + '/'),
                                           QStringLiteral("the folder cannot be listed (%1), so its clips are left out")
                                               .arg(systemError(error))};
            continue;
        }
        for (;;) {
            errno = 0;
            const dirent *entry = readdir(dir);
            if (!entry) {
                if (errno != 0)
                    result.skipped << SkippedEntry{escapedName(folder + '/'),
                                                   QStringLiteral("the folder could not be listed to the end (%1); "
                                                                  "some of its clips may be missing")
                                                       .arg(systemError(errno))};
                break;
            }
            const QByteArray name(entry->d_name);
            if (name.startsWith('.'))
                continue;   // ".", ".." and hidden entries
            const QByteArray relative = folder + '/' + name;
            const QByteArray full = root + relative;
            const bool clipName = isClipNameBytes(name);

            // The entry itself, without following a link: folders are walked,
            // links to folders are not.
            unsigned char type = entry->d_type;
            struct stat status {};
            if (type == DT_UNKNOWN) {
                if (lstat(full.constData(), &status) != 0)
                    continue;   // gone since it was listed
                type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISLNK(status.st_mode) ? DT_LNK : DT_REG;
            }
            if (type == DT_DIR) {
                folders << relative;
                continue;
            }
            if (!clipName)
                continue;

            const QString shown = escapedName(relative);
            if (!isValidUtf8(relative)) {
                result.skipped << SkippedEntry{shown, QStringLiteral("its name is not valid UTF-8 (the bytes shown "
                                                                     "as \\xNN); rename it to sync it")};
                continue;
            }
            if (relative.contains('\n') || relative.contains('\r')) {
                result.skipped << SkippedEntry{shown, QStringLiteral("its path contains a line break; rename it "
                                                                     "to sync it")};
                continue;
            }
            // stat, never open: opening a FIFO blocks until a writer comes.
            if (stat(full.constData(), &status) != 0) {
                result.skipped << SkippedEntry{shown, QStringLiteral("it cannot be reached (%1)").arg(systemError(errno))};
                continue;
            }
            if (!S_ISREG(status.st_mode)) {
                result.skipped << SkippedEntry{shown, QStringLiteral("it is %1, not a clip file").arg(kindOf(status.st_mode))};
                continue;
            }
            ClipEntry clip;
            clip.path = QString::fromUtf8(relative);
            clip.absolutePath = QFile::decodeName(full);
            clip.size = qint64(status.st_size);
            clip.modifiedNs = ClipFinder::modifiedNs(status);
            result.clips << clip;
        }
        closedir(dir);
    }
    sortByPath(result);
    return result;
}

#else

ClipWalk ClipFinder::walk(const QString &rootPath, const std::atomic_bool *cancel)
{
    ClipWalk result;
    const QDir root(rootPath);
    const QString raw = root.filePath(QStringLiteral("raw"));
    if (!QFileInfo(raw).isDir()) {
        result.rawMissing = true;
        return result;
    }
    QDirIterator it(raw, QDir::Files | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (cancel && cancel->load()) {
            result.cancelled = true;
            break;
        }
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!isClipName(info.fileName()))
            continue;
        const QString path = root.relativeFilePath(info.absoluteFilePath());
        if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'))) {
            result.skipped << SkippedEntry{escapedName(path.toUtf8()), QStringLiteral("its path contains a line break")};
            continue;
        }
        if (!info.isFile()) {
            result.skipped << SkippedEntry{path, QStringLiteral("it is not a regular file")};
            continue;
        }
        ClipEntry clip;
        clip.absolutePath = info.absoluteFilePath();
        clip.path = path;
        clip.size = info.size();
        clip.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
        result.clips << clip;
    }
    sortByPath(result);
    return result;
}

#endif

#ifndef Q_OS_WIN
qint64 ClipFinder::modifiedNs(const struct stat &status)
{
#ifdef Q_OS_MACOS
    return qint64(status.st_mtimespec.tv_sec) * 1000000000 + status.st_mtimespec.tv_nsec;
#else
    return qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
#endif
}
#endif
