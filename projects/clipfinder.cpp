#include "projects/clipfinder.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>

bool ClipFinder::isClipName(const QString &fileName)
{
    return QFileInfo(fileName).completeSuffix() == QLatin1String("MTS");
}

QList<ClipEntry> ClipFinder::findClips(const QString &rootPath)
{
    QList<ClipEntry> clips;
    const QDir root(rootPath);
    QDirIterator it(root.filePath(QStringLiteral("raw")), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (!isClipName(info.fileName()))
            continue;
        ClipEntry clip;
        clip.absolutePath = info.absoluteFilePath();
        clip.path = root.relativeFilePath(clip.absolutePath);
        clip.size = info.size();
        clips << clip;
    }
    std::sort(clips.begin(), clips.end(),
              [](const ClipEntry &a, const ClipEntry &b) { return a.path < b.path; });
    return clips;
}
