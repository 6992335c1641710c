#include "shots/clippaths.h"

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>

QString localClipPath(const QString &filename)
{
    if (filename.trimmed().isEmpty() || QDir::isAbsolutePath(filename))
        return QString();
    const QString cleaned = QDir::cleanPath(filename);
    if (cleaned == QLatin1String("..") || cleaned.startsWith(QLatin1String("../")))
        return QString();
    return QDir::current().absoluteFilePath(cleaned);
}

QString stillFramePath(const QString &md5)
{
    static const QRegularExpression digest(QStringLiteral("^[0-9a-fA-F]{32}$"));
    if (!digest.match(md5).hasMatch())
        return QString();
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/frames/")
        + md5.toLower() + QStringLiteral(".jpg");
}

QStringList stillFrameArguments(const QString &clip, int offsetSeconds, const QString &target)
{
    // The offset is applied after decoding (an output option): seeking in
    // the input misses the frame in short MPEG-TS clips, and decoding one
    // second costs little.
    return {QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
            QStringLiteral("error"),    QStringLiteral("-y"),           QStringLiteral("-i"),
            clip,                       QStringLiteral("-ss"),          QString::number(offsetSeconds),
            QStringLiteral("-frames:v"), QStringLiteral("1"),           QStringLiteral("-vf"),
            QStringLiteral("scale=-2:360"), QStringLiteral("-q:v"),     QStringLiteral("3"),
            QStringLiteral("-f"),       QStringLiteral("image2"),       target};
}
