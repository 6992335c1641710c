#pragma once

#include <QString>
#include <QStringList>

// One encoder run: the clip it reads, the file it writes and the encoder's
// complete argument list (the output file is the last argument).
struct TranscodeJob
{
    QString preset;       // the box text of the preset that made it
    QString source;       // the clip, relative to the local root: raw/...
    QString outputDir;    // absolute, "/" separators
    QString output;       // absolute, "/" separators
    QStringList arguments;
};

// The box texts, in the order the presets are applied to each clip.
namespace PresetName {
inline const char mp4[] = "720p MP4 6 Mb";
inline const char dnx60[] = "720p DNX-HD 60 Mb";
inline const char dnx36[] = "1080p DNX-HD 36 Mb";
inline const char dv[] = "480p DV 25 Mb";
} // namespace PresetName

// The part of the clip's path that the output tree repeats: "raw/" and the
// first name below it, with a trailing "/" (raw/Wedding/CardA/CLIP7.MTS gives
// raw/Wedding/; a clip directly in raw/ gives raw/CLIP7.MTS/).
QString outputSubPath(const QString &source);

// The clip's file name up to, not including, its first ".".
QString clipBaseName(const QString &source);

// The presets' jobs for one clip. outputRoot is the absolute path of the
// output tree ("transcode" below the local root). Nothing is created here.
TranscodeJob mp4Job(int width, int height, int rate, const QString &source, const QString &outputRoot);
TranscodeJob dnxJob(int width, int height, int rate, const QString &source, const QString &outputRoot);
TranscodeJob dvJob(const QString &source, const QString &outputRoot);
