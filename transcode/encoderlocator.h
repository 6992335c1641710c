#pragma once

#include <QString>
#include <QStringList>

class QDir;

// Where the encoder was found, or every place it was looked for.
struct EncoderLocation
{
    QString program;        // absolute path; empty when not found
    QStringList searched;   // the places looked at, in order

    bool found() const { return !program.isEmpty(); }
    // One line for the user: where it is, or where it was looked for.
    QString describe() const;
};

// The encoder's file name on this platform.
QString encoderFileName();

// Finds the encoder: first in the start directory's "ffmpeg/bin", then on
// PATH. Both the transcode queue and the shot browser's still frames use it.
EncoderLocation findEncoder(const QDir &startDir);
