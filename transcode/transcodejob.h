#pragma once

#include <QString>
#include <QStringList>

// One encoder run: the clip it reads, the file it writes and the encoder's
// complete argument list (the file it writes is the last argument).
struct TranscodeJob
{
    QString preset;       // the box text of the preset that made it
    QString source;       // the clip, relative to the local root: raw/...
    QString tree;         // the preset's output tree, absolute, "/" separators
    QString outputDir;    // absolute, "/" separators
    QString output;       // the final name: absolute, "/" separators
    QString partial;      // the temporary name it is written under, when set
    QStringList arguments;

    // Gives the job the final name output (outputDir becomes its folder)
    // and makes the encoder write the temporary name beside it (see
    // PartialFile).
    void setOutput(const QString &output, const QString &partial);

    // Whether everything the job writes lies inside its tree, by its paths
    // and by where the folder it is finally written to leads, resolved
    // through every link: a link inside the tree to a folder elsewhere
    // takes no output out of it. A job built by hand without a tree is not
    // checked.
    bool staysInsideItsTree() const;
};

// The box texts, in the order the presets are applied to each clip.
namespace PresetName {
inline const char mp4[] = "720p MP4 6 Mb";
inline const char dnx60[] = "720p DNX-HD 60 Mb";
inline const char dnx36[] = "1080p DNX-HD 36 Mb";
inline const char dv[] = "480p DV 25 Mb";
} // namespace PresetName

// The presets, in the order of the window's boxes.
enum class Preset { Mp4, Dnx60, Dnx36, Dv };

// What a preset's job is made of: the one place its numbers are written.
struct PresetParameters
{
    enum Kind { Mp4, Dnx, Dv };

    Preset preset;
    const char *name;   // the box text
    Kind kind;
    int width;          // the picture the encoder scales to; DV's is set by its target
    int height;
    int rate;           // kb/s for MP4, Mb/s for DNxHD; DV's is set by its target
};

const PresetParameters &presetParameters(Preset preset);

// The preset's job for a clip under the layout's own name.
TranscodeJob presetJob(Preset preset, const QString &source, const QString &outputRoot);

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
