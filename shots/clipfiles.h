#pragma once

#include <QString>

// Where a shot's clip and its still frame live on this computer. Plain code,
// so that tests and the frame worker can use it without any widget.

// The absolute path of the clip named by a shot's `filename`, below the
// local root (the current directory). Empty when the name is empty, absolute
// or leads out of the local root: such a value is not a clip path.
QString localClipPath(const QString &filename);

// The still frame's place in the user's cache folder, named after the clip's
// MD5 so that a moved or copied clip keeps its frame. Empty when md5 is not
// 32 hexadecimal digits.
QString stillFramePath(const QString &md5);

// Takes one frame of the clip with the encoder and stores it at target
// (written to a side file first, so a half-written frame is never cached).
// Blocks until the encoder ends; meant for a worker thread. Returns an empty
// string on success, else why no frame was made.
QString extractStillFrame(const QString &encoder, const QString &clip, const QString &target);

// Asks the desktop to open the clip in the default player. Returns an empty
// string when the request was handed over, else what went wrong.
QString openClip(const QString &filename);
