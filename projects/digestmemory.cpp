#include "projects/digestmemory.h"

#include "projects/cachefile.h"
#include "files/clipfinder.h"
#include "files/partialfile.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <algorithm>

namespace {

const char firstLine[] = "TaveloClient Clip Digests";
const char version[] = "1";

bool isHex(const QByteArray &text, int length)
{
    if (text.size() != length)
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

bool DigestMemory::load(const QString &path, QString *problem)
{
    entries.clear();
    const auto refuse = [&](const QString &why) {
        entries.clear();
        if (problem)
            *problem = why;
        return false;
    };
    QFile file(path);
    if (!file.exists())
        return refuse(QStringLiteral("there is no %1 from an earlier sync").arg(QLatin1String(fileName)));
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("%1 cannot be read: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return refuse(QStringLiteral("%1 cannot be read: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    if (!content.endsWith('\n'))
        return refuse(QStringLiteral("%1 is incomplete").arg(QDir::toNativeSeparators(path)));
    const QList<QByteArray> lines = content.left(content.size() - 1).split('\n');
    if (lines.size() < 2 || lines.at(0) != firstLine || lines.at(1) != version)
        return refuse(QStringLiteral("%1 is not a digest file of this version").arg(QDir::toNativeSeparators(path)));
    for (int i = 2; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        QList<QByteArray> fields;
        int from = 0;
        for (int f = 0; f < 5; ++f) {
            const int tab = line.indexOf('\t', from);
            if (tab < 0)
                break;
            fields << line.mid(from, tab - from);
            from = tab + 1;
        }
        fields << line.mid(from);
        Entry entry;
        bool sizeOk = false, modifiedOk = false, hashedOk = false;
        if (fields.size() == 6) {
            entry.size = fields.at(0).toLongLong(&sizeOk);
            entry.modifiedNs = fields.at(1).toLongLong(&modifiedOk);
            entry.hashedNs = fields.at(2).toLongLong(&hashedOk);
            entry.md5 = fields.at(3);
            entry.sha1 = fields.at(4);
        }
        const QString clipPath = fields.size() == 6 ? QString::fromUtf8(fields.at(5)) : QString();
        if (!sizeOk || !modifiedOk || !hashedOk || entry.size < 0 || !isHex(entry.md5, 32) || !isHex(entry.sha1, 40)
            || !clipPath.startsWith(QLatin1String("raw/")) || clipPath.toUtf8() != fields.at(5)
            || entries.contains(clipPath))
            return refuse(QStringLiteral("%1 is damaged at line %2").arg(QDir::toNativeSeparators(path)).arg(i + 1));
        entries.insert(clipPath, entry);
    }
    return true;
}

QString DigestMemory::save(const QString &path) const
{
    QStringList paths = entries.keys();
    std::sort(paths.begin(), paths.end());
    QByteArray content;
    content.reserve(int(paths.size()) * 160 + 64);
    content += firstLine;
    content += '\n';
    content += version;
    content += '\n';
    for (const QString &clipPath : paths) {
        const Entry &entry = entries[clipPath];
        content += QByteArray::number(entry.size) + '\t' + QByteArray::number(entry.modifiedNs) + '\t'
            + QByteArray::number(entry.hashedNs) + '\t' + entry.md5 + '\t' + entry.sha1 + '\t' + clipPath.toUtf8()
            + '\n';
    }
    removeStaleTemporaries(path);
    const QString temporary = PartialFile::pathFor(path);
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size()
        || !file.flush()) {
        const QString error = file.errorString();
        file.close();
        QFile::remove(temporary);
        return error;
    }
    file.close();
    const QString error = replaceFile(temporary, path);
    if (!error.isEmpty())
        QFile::remove(temporary);
    return error;
}

const DigestMemory::Entry *DigestMemory::find(const QString &path) const
{
    const auto it = entries.constFind(path);
    return it == entries.constEnd() ? nullptr : &it.value();
}

const DigestMemory::Entry *DigestMemory::unchanged(const ClipEntry &clip) const
{
    const Entry *entry = find(clip.path);
    if (!entry || entry->size != clip.size || entry->modifiedNs != clip.modifiedNs)
        return nullptr;
    if (entry->hashedNs - entry->modifiedNs < settleNs)
        return nullptr;
    return entry;
}
