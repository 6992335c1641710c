#pragma once

#include "shots/clippaths.h"

#include <QString>

// Asks the desktop to open the clip in the default player. Returns an empty
// string when the request was handed over, else what went wrong.
QString openClip(const QString &filename);
