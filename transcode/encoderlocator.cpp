#include "transcode/encoderlocator.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString encoderFileName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("ffmpeg.exe");
#else
    return QStringLiteral("ffmpeg");
#endif
}

QString EncoderLocation::describe() const
{
    if (found())
        return QStringLiteral("Encoder: %1").arg(QDir::toNativeSeparators(program));
    return QStringLiteral("The encoder %1 was not found. Looked in: %2. Install ffmpeg or put it in "
                          "the folder ffmpeg/bin of the folder the client is started from.")
        .arg(encoderFileName(), searched.join(QStringLiteral("; ")));
}

EncoderLocation findEncoder(const QDir &startDir)
{
    EncoderLocation location;
    const QString bundledDir = startDir.absolutePath() + QStringLiteral("/ffmpeg/bin");
    const QString bundled = bundledDir + QLatin1Char('/') + encoderFileName();
    location.searched << QDir::toNativeSeparators(bundledDir);
    const QFileInfo info(bundled);
    if (info.isFile() && info.isExecutable()) {
        location.program = bundled;
        return location;
    }
    location.searched << QStringLiteral("PATH");
    location.program = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    return location;
}
