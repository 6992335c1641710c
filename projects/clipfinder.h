#pragma once

#include <QList>
#include <QString>

// One clip below the local root's "raw" directory.
struct ClipEntry
{
    QString path;          // relative to the root: "raw/CardA/00012.MTS", '/' on every platform
    QString absolutePath;
    qint64 size = 0;
};

namespace ClipFinder {
// True for a camera clip's file name: everything after the first '.' is
// exactly "MTS" (so "x.mts" and "x.part.MTS" are not clips).
bool isClipName(const QString &fileName);

// Every clip at any depth below rootPath/raw, sorted by path so repeated
// runs list them in the same order. Hidden files and symbolic links to
// directories are not followed. An absent raw directory gives no clips.
QList<ClipEntry> findClips(const QString &rootPath);
} // namespace ClipFinder
