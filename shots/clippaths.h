#pragma once

#include <QString>
#include <QStringList>

// Where a shot's clip and its still frame live on this computer, and how
// the encoder takes the frame. Plain functions, without any widget.

// The absolute path of the clip named by a shot's `filename`, below the
// local root (the current directory). Empty when the name is empty, absolute
// or leads out of the local root: such a value is not a clip path.
QString localClipPath(const QString &filename);

// The still frame's place in the user's cache folder, named after the clip's
// MD5 so that a moved or copied clip keeps its frame. Empty when md5 is not
// 32 hexadecimal digits.
QString stillFramePath(const QString &md5);

// The encoder's arguments that write one frame of clip, offsetSeconds in,
// to target as a JPEG.
QStringList stillFrameArguments(const QString &clip, int offsetSeconds, const QString &target);
