#include "shots/clipfiles.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

QString openClip(const QString &filename)
{
    const QString path = localClipPath(filename);
    if (path.isEmpty())
        return QStringLiteral("\"%1\" is not a clip path below the local root.").arg(filename);
    if (!QFileInfo::exists(path))
        return QStringLiteral("The clip %1 is not on this computer.").arg(QDir::toNativeSeparators(path));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return QStringLiteral("No player could be started for %1.").arg(QDir::toNativeSeparators(path));
    return QString();
}
