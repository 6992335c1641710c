#pragma once

#include <QImage>
#include <QMetaType>

#include "media/posterfetcher.h"

// The pictures made of one poster, on the fetcher's thread: the grid's
// small one at its row height, and the poster as stored for the form.
// QImage, not QPixmap: a pixmap belongs to the GUI thread, which only
// turns these into pixmaps.
struct PosterPictures
{
    QImage thumbnail;
    QImage picture;
};
Q_DECLARE_METATYPE(PosterPictures)

// Decodes a poster into PosterPictures, thumbnails thumbnailHeight pixels
// high. A picture larger than a poster (PosterFetcher::fitsPosterSize) is
// refused from its header, without being decoded, as is one that is not a
// picture at all.
PosterFetcher::Decoder posterDecoder(int thumbnailHeight);
