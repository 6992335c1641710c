#include "shots/clipfiles.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

QString localClipPath(const QString &filename)
{
    if (filename.trimmed().isEmpty() || QDir::isAbsolutePath(filename))
        return QString();
    const QString cleaned = QDir::cleanPath(filename);
    if (cleaned == QLatin1String("..") || cleaned.startsWith(QLatin1String("../")))
        return QString();
    return QDir::current().absoluteFilePath(cleaned);
}

QString stillFramePath(const QString &md5)
{
    static const QRegularExpression digest(QStringLiteral("^[0-9a-fA-F]{32}$"));
    if (!digest.match(md5).hasMatch())
        return QString();
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
        + QStringLiteral("/frames/") + md5.toLower() + QStringLiteral(".jpg");
}

namespace {
// One encoder run; empty on success, else the reason.
QString runEncoder(const QString &encoder, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(encoder, arguments);
    if (!process.waitForStarted(10000))
        return QStringLiteral("the encoder could not be started: %1").arg(process.errorString());
    process.closeWriteChannel();
    // A damaged clip can make the encoder hang; a still frame is not worth
    // waiting for longer than this.
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return QStringLiteral("the encoder did not finish within 60 s");
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("the encoder crashed");
    if (process.exitCode() != 0) {
        const QString error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return QStringLiteral("the encoder failed (exit code %1)%2")
            .arg(process.exitCode())
            .arg(error.isEmpty() ? QString() : QStringLiteral(": ") + error.section('\n', -1));
    }
    return QString();
}
} // namespace

QString extractStillFrame(const QString &encoder, const QString &clip, const QString &target)
{
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return QStringLiteral("the cache folder %1 cannot be created")
            .arg(QDir::toNativeSeparators(QFileInfo(target).absolutePath()));
    const QString part = target + QStringLiteral(".part.jpg");
    QFile::remove(part);

    // A frame one second in avoids the black first frame of many camera
    // clips; a clip shorter than that falls back to its first frame. The
    // offset is applied after decoding (an output option): seeking in the
    // input misses the frame in short MPEG-TS clips, and decoding one second
    // costs little.
    QString problem;
    for (const QString &offset : {QStringLiteral("1"), QStringLiteral("0")}) {
        const QStringList arguments = {
            QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"),
            QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"),
            QStringLiteral("-i"), clip, QStringLiteral("-ss"), offset,
            QStringLiteral("-frames:v"), QStringLiteral("1"),
            QStringLiteral("-vf"), QStringLiteral("scale=-2:360"),
            QStringLiteral("-q:v"), QStringLiteral("3"),
            QStringLiteral("-f"), QStringLiteral("image2"), part};
        problem = runEncoder(encoder, arguments);
        if (problem.isEmpty() && QFileInfo(part).size() > 0)
            break;
        if (problem.isEmpty())
            problem = QStringLiteral("the encoder found no picture in the clip");
        QFile::remove(part);
    }
    if (!problem.isEmpty())
        return problem;
    QFile::remove(target);
    if (!QFile::rename(part, target)) {
        QFile::remove(part);
        return QStringLiteral("the frame could not be stored in %1")
            .arg(QDir::toNativeSeparators(target));
    }
    return QString();
}

QString openClip(const QString &filename)
{
    const QString path = localClipPath(filename);
    if (path.isEmpty())
        return QStringLiteral("\"%1\" is not a clip path below the local root.").arg(filename);
    if (!QFileInfo::exists(path))
        return QStringLiteral("The clip %1 is not on this computer.")
            .arg(QDir::toNativeSeparators(path));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return QStringLiteral("No player could be started for %1.")
            .arg(QDir::toNativeSeparators(path));
    return QString();
}
