#pragma once

#include <QStringList>

// The shots the main window offers the transcode window as the clips to
// encode, each kind as the clip paths its shots hold ("raw/...", as the
// sync stores them).
struct ShotClips
{
    QStringList selected;   // the grid's selected rows
    QStringList found;      // every row the find shows
};
