#include "shots/posterpictures.h"

#include <QBuffer>
#include <QImageReader>

PosterFetcher::Decoder posterDecoder(int thumbnailHeight)
{
    return [thumbnailHeight](const QByteArray &bytes) {
        PosterFetcher::Picture result;
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        reader.setDecideFormatFromContent(true);
        // The size from the header: a huge picture costs seconds and
        // hundreds of megabytes to decode, and is no poster.
        const QSize size = reader.size();
        if (!size.isValid()) {
            result.refusal = QStringLiteral("its picture cannot be read (%1)").arg(reader.errorString());
            return result;
        }
        if (!PosterFetcher::fitsPosterSize(size.width(), size.height())) {
            result.refusal = QStringLiteral("its picture is %1x%2 pixels, larger than a poster")
                                 .arg(size.width())
                                 .arg(size.height());
            return result;
        }
        PosterPictures pictures;
        if (!reader.read(&pictures.picture)) {
            result.refusal = QStringLiteral("its picture cannot be read (%1)").arg(reader.errorString());
            return result;
        }
        pictures.thumbnail = pictures.picture.scaledToHeight(qMax(1, thumbnailHeight), Qt::SmoothTransformation);
        result.bytes = pictures.picture.sizeInBytes() + pictures.thumbnail.sizeInBytes();
        result.value = QVariant::fromValue(pictures);
        return result;
    };
}
