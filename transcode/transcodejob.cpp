#include "transcode/transcodejob.h"

#include "transcode/outputnamemap.h"

#include <QDir>
#include <QFileInfo>

QString outputSubPath(const QString &source)
{
    const QStringList parts = source.split(QLatin1Char('/'));
    return parts.value(0) + QLatin1Char('/') + parts.value(1) + QLatin1Char('/');
}

QString clipBaseName(const QString &source)
{
    const QString name = source.mid(source.lastIndexOf(QLatin1Char('/')) + 1);
    const int dot = int(name.indexOf(QLatin1Char('.')));
    return dot < 0 ? name : name.left(dot);
}

namespace {

// Where path leads once links are followed: its nearest existing folder,
// resolved, and the rest as written.
QString resolved(const QString &path)
{
    QString existing = QDir::cleanPath(path);
    QString rest;
    while (!existing.isEmpty() && !QFileInfo::exists(existing)) {
        const int slash = int(existing.lastIndexOf(QLatin1Char('/')));
        if (slash <= 0)
            return QDir::cleanPath(path);
        rest = existing.mid(slash) + rest;
        existing = existing.left(slash);
    }
    return QFileInfo(existing).canonicalFilePath() + rest;
}

} // namespace

bool TranscodeJob::staysInsideItsTree() const
{
    if (tree.isEmpty())
        return true;
    // By the paths as written, and by where they lead: the folder a map's
    // name puts the output in is not the layout's, and any folder on the
    // way (or the output itself) may be a link to somewhere else.
    const QString realTree = resolved(tree);
    for (const QString &path : {output, partial, outputDir + QStringLiteral("/x")}) {
        if (path.isEmpty())
            continue;
        if (!OutputNameMap::isInside(path, tree) || !OutputNameMap::isInside(resolved(path), realTree))
            return false;
    }
    return true;
}

void TranscodeJob::setOutput(const QString &finalName, const QString &temporaryName)
{
    output = finalName;
    partial = temporaryName;
    // The folder it is written into: a name from the map need not be in
    // the layout's folder.
    outputDir = finalName.left(finalName.lastIndexOf(QLatin1Char('/')) + 1);
    if (!arguments.isEmpty())
        arguments.last() = temporaryName.isEmpty() ? finalName : temporaryName;
}

namespace {

// The MP4 and DNxHD jobs share their 15 positions; only the codecs, the
// rate text and the output differ. The rate texts carry a unit the encoder
// reads ("60M", "6000k"): a trailing "b" ("60Mb") makes it refuse the job.
TranscodeJob fifteenArgumentJob(const QString &preset, const QString &source, const QString &tree,
                                const QString &audioCodec, const QString &rateText, const QString &size,
                                const QString &videoCodec)
{
    TranscodeJob job;
    job.preset = preset;
    job.source = source;
    job.tree = tree;
    job.outputDir = tree + QLatin1Char('/') + outputSubPath(source);
    job.output = job.outputDir + clipBaseName(source) + QStringLiteral(".mov");
    job.arguments = QStringList{QStringLiteral("-i"), source,
                                QStringLiteral("-acodec"), audioCodec,
                                QStringLiteral("-b"), rateText,
                                QStringLiteral("-s"), size,
                                QStringLiteral("-vcodec"), videoCodec,
                                QStringLiteral("-r"), QStringLiteral("23.976"),
                                QStringLiteral("-f"), QStringLiteral("mov"),
                                job.output};
    return job;
}

QString sizeText(int width, int height)
{
    return QStringLiteral("%1x%2").arg(width).arg(height);
}

} // namespace

TranscodeJob mp4Job(int width, int height, int rate, const QString &source, const QString &outputRoot)
{
    return fifteenArgumentJob(QString::fromLatin1(PresetName::mp4), source, outputRoot + QStringLiteral("/720p/MP4"), QStringLiteral("libmp3lame"),
                              QStringLiteral("%1k").arg(rate), sizeText(width, height),
                              QStringLiteral("mpeg4"));
}

TranscodeJob dnxJob(int width, int height, int rate, const QString &source, const QString &outputRoot)
{
    const QString tree = outputRoot + QLatin1Char('/') + sizeText(width, height) + QStringLiteral("/DNX")
        + QString::number(rate);
    // Named like its box: "720p DNX-HD 60 Mb", "1080p DNX-HD 36 Mb".
    const QString preset = QStringLiteral("%1p DNX-HD %2 Mb").arg(height).arg(rate);
    return fifteenArgumentJob(preset, source, tree, QStringLiteral("pcm_s16le"),
                              QStringLiteral("%1M").arg(rate), sizeText(width, height),
                              QStringLiteral("dnxhd"));
}

TranscodeJob dvJob(const QString &source, const QString &outputRoot)
{
    TranscodeJob job;
    job.preset = QString::fromLatin1(PresetName::dv);
    job.source = source;
    job.tree = outputRoot + QStringLiteral("/720x480/DV25");
    job.outputDir = job.tree + QLatin1Char('/') + outputSubPath(source);
    job.output = job.outputDir + clipBaseName(source) + QStringLiteral(".dv");
    // The target sets everything DV demands (720x480, 4:1:1, 29.97 fps,
    // 25 Mb/s, 48 kHz stereo PCM, the raw DV container); the camera clips
    // are 16:9, which DV carries as a flag.
    job.arguments = QStringList{QStringLiteral("-i"), source,
                                QStringLiteral("-target"), QStringLiteral("ntsc-dv"),
                                QStringLiteral("-aspect"), QStringLiteral("16:9"),
                                job.output};
    return job;
}

namespace {
const PresetParameters presetTable[] = {
    {Preset::Mp4, PresetName::mp4, PresetParameters::Mp4, 1280, 720, 6000},
    {Preset::Dnx60, PresetName::dnx60, PresetParameters::Dnx, 1280, 720, 60},
    {Preset::Dnx36, PresetName::dnx36, PresetParameters::Dnx, 1920, 1080, 36},
    {Preset::Dv, PresetName::dv, PresetParameters::Dv, 720, 480, 25},
};
} // namespace

const PresetParameters &presetParameters(Preset preset)
{
    return presetTable[int(preset)];
}

TranscodeJob presetJob(Preset preset, const QString &source, const QString &outputRoot)
{
    const PresetParameters &p = presetParameters(preset);
    switch (p.kind) {
    case PresetParameters::Mp4:
        return mp4Job(p.width, p.height, p.rate, source, outputRoot);
    case PresetParameters::Dnx:
        return dnxJob(p.width, p.height, p.rate, source, outputRoot);
    case PresetParameters::Dv:
        break;
    }
    return dvJob(source, outputRoot);
}
