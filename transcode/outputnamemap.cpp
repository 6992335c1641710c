#include "transcode/outputnamemap.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

QString OutputNameMap::fileName()
{
    return QStringLiteral(".tavelo-sources");
}

QString OutputNameMap::lockFileName()
{
    return QStringLiteral(".tavelo-sources.lock");
}

QString OutputNameMap::lockPath(const QString &treePath)
{
    return QDir(treePath).filePath(lockFileName());
}

bool OutputNameMap::isSafeName(const QString &name)
{
    if (name.isEmpty() || QDir::isAbsolutePath(name) || name.startsWith(QLatin1Char('/'))
        || name.startsWith(QLatin1Char('\\')))
        return false;
    // A drive ("C:x") is a root of its own on Windows, wherever the map is read.
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c.isNull())
            return false;
    }
    // Either separator: a map on a shared disk is read by Windows as well.
    QString slashed = name;
    slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return !slashed.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

bool OutputNameMap::fitsFileSystem(const QString &path)
{
    // A UTF-8 byte per UTF-16 unit at least: longer text needs no encoding
    // to be refused.
    if (path.size() > maxPathBytes)
        return false;
    const QByteArray bytes = path.toUtf8();
    if (bytes.size() > maxPathBytes)
        return false;
    for (const QByteArray &part : bytes.split('/')) {
        if (part.size() > maxComponentBytes)
            return false;
    }
    return true;
}

bool OutputNameMap::isInside(const QString &path, const QString &treePath)
{
    const QString tree = QDir::cleanPath(treePath);
    const QString clean = QDir::cleanPath(path);
    return !tree.isEmpty() && clean.startsWith(tree + QLatin1Char('/')) && clean.size() > tree.size() + 1;
}

QString OutputNameMap::header()
{
    return QStringLiteral("# Tavelo output names 1");
}

QString OutputNameMap::escape(const QString &path)
{
    bool plain = true;
    for (const QChar c : path)
        plain = plain && c != QLatin1Char('\\') && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r');
    if (plain)
        return path;
    QString text;
    text.reserve(path.size());
    for (const QChar c : path) {
        if (c == QLatin1Char('\\'))
            text += QLatin1String("\\\\");
        else if (c == QLatin1Char('\t'))
            text += QLatin1String("\\t");
        else if (c == QLatin1Char('\n'))
            text += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            text += QLatin1String("\\r");
        else
            text += c;
    }
    return text;
}

QString OutputNameMap::unescape(const QString &text, bool *ok)
{
    QString path;
    path.reserve(text.size());
    *ok = true;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\')) {
            path += c;
            continue;
        }
        const QChar next = i + 1 < text.size() ? text.at(++i) : QChar();
        if (next == QLatin1Char('\\'))
            path += QLatin1Char('\\');
        else if (next == QLatin1Char('t'))
            path += QLatin1Char('\t');
        else if (next == QLatin1Char('n'))
            path += QLatin1Char('\n');
        else if (next == QLatin1Char('r'))
            path += QLatin1Char('\r');
        else
            *ok = false;
    }
    return path;
}

bool OutputNameMap::load()
{
    clips.clear();
    names.clear();
    order.clear();
    added.clear();
    ignored = 0;
    refused = 0;
    error.clear();
    QFile file(QDir(tree).filePath(fileName()));
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    parse(file.readAll());
    return true;
}

namespace {

enum class LineKind { Blank, Entry, Damaged, Refused };

// One line of the file, without its line feed.
LineKind parseLine(QByteArray line, QString *name, QString *clip)
{
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty() || line.startsWith('#'))
        return LineKind::Blank;
    const QList<QByteArray> fields = line.split('\t');
    if (fields.size() != 2)
        return LineKind::Damaged;
    // Escaping at most doubles a path: a longer field names no file, and is
    // not decoded at all.
    for (const QByteArray &field : fields) {
        if (field.size() > 2 * OutputNameMap::maxPathBytes)
            return LineKind::Damaged;
    }
    bool nameOk = false;
    bool clipOk = false;
    *name = OutputNameMap::unescape(QString::fromUtf8(fields.at(0)), &nameOk);
    *clip = OutputNameMap::unescape(QString::fromUtf8(fields.at(1)), &clipOk);
    if (!nameOk || !clipOk || name->isEmpty() || clip->isEmpty() || !OutputNameMap::fitsFileSystem(*name)
        || !OutputNameMap::fitsFileSystem(*clip))
        return LineKind::Damaged;
    return OutputNameMap::isSafeName(*name) ? LineKind::Entry : LineKind::Refused;
}

} // namespace

int OutputNameMap::parse(const QByteArray &text)
{
    int lost = 0;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        QString name;
        QString clip;
        switch (parseLine(line, &name, &clip)) {
        case LineKind::Blank:
            break;
        case LineKind::Damaged:
            ++lost;
            break;
        case LineKind::Refused:
            ++refused;
            break;
        case LineKind::Entry:
            if (!clips.contains(name)) {
                clips.insert(name, clip);
                if (!names.contains(clip))
                    names.insert(clip, name);
                order.append({name, clip});
            }
            break;
        }
    }
    ignored += lost;
    return lost;
}

OutputNameMap::Owner OutputNameMap::ownerOf(const QString &treePath, const QString &name)
{
    Owner owner;
    QFile file(QDir(treePath).filePath(fileName()));
    if (!file.exists())
        return owner;
    if (!file.open(QIODevice::ReadOnly)) {
        owner.readable = false;
        owner.error = file.errorString();
        return owner;
    }
    const QByteArray text = file.readAll();
    // Only the lines that begin with the name are parsed, as load() would
    // parse them: the first whole line wins.
    const QByteArray start = escape(name).toUtf8() + '\t';
    for (qsizetype at = text.indexOf(start); at >= 0; at = text.indexOf(start, at + 1)) {
        if (at > 0 && text.at(at - 1) != '\n')
            continue;
        const qsizetype end = text.indexOf('\n', at);
        QString found;
        QString clip;
        if (parseLine(text.mid(at, end < 0 ? -1 : end - at), &found, &clip) == LineKind::Entry && found == name) {
            owner.clip = clip;
            break;
        }
    }
    return owner;
}

QByteArray OutputNameMap::serialize() const
{
    QByteArray text = header().toUtf8() + '\n';
    text.reserve(text.size() + order.size() * 80);
    for (const auto &entry : order)
        text += escape(entry.first).toUtf8() + '\t' + escape(entry.second).toUtf8() + '\n';
    return text;
}

bool OutputNameMap::add(const QString &name, const QString &clip)
{
    if (clips.contains(name))
        return false;
    clips.insert(name, clip);
    if (!names.contains(clip))
        names.insert(clip, name);
    order.append({name, clip});
    added.append({name, clip});
    return true;
}

bool OutputNameMap::save()
{
    if (added.isEmpty())
        return true;
    // Another client on a shared disk may have written names since this
    // map was read: start from the file as it is now.
    OutputNameMap current(tree);
    if (!current.load()) {
        error = current.errorString();
        return false;
    }
    for (const auto &entry : std::as_const(added))
        current.add(entry.first, entry.second);
    if (!QDir().mkpath(tree)) {
        error = QStringLiteral("the folder %1 cannot be made").arg(QDir::toNativeSeparators(tree));
        return false;
    }
    QSaveFile file(QDir(tree).filePath(fileName()));
    if (!file.open(QIODevice::WriteOnly) || file.write(current.serialize()) < 0 || !file.commit()) {
        error = file.errorString();
        return false;
    }
    added.clear();
    return true;
}
