#include "shots/stillframeview.h"

#include "app/clientstate.h"
#include "shots/clipfiles.h"
#include "shots/framegrab.h"
#include "transcode/encoderlocator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>

StillFrameView::StillFrameView(QWidget *parent)
    : QLabel(parent)
{
    setObjectName(QStringLiteral("stillFrame"));
    setAlignment(Qt::AlignCenter);
    setTextFormat(Qt::PlainText); // the messages quote file names
    setWordWrap(true);
    setMinimumSize(160, 90);
    // Ignored: the pixmap is scaled to the label, so its size must not feed
    // back into the label's size hint.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    setFrameShape(QFrame::StyledPanel);
    setToolTip(QStringLiteral("Double-click to open the clip in the default player"));
    grab = new FrameGrab(this);
    connect(grab, &FrameGrab::finished, this, &StillFrameView::extractionFinished);
    showPlaceholder(QStringLiteral("No shot selected"));
}

StillFrameView::~StillFrameView() = default;

bool StillFrameView::isExtracting() const
{
    return grab->isRunning();
}

void StillFrameView::showShot(const QString &newFilename, const QString &newMd5)
{
    filename = newFilename;
    md5 = newMd5;
    framePath.clear();
    if (filename.isEmpty()) {
        showPlaceholder(QStringLiteral("No shot selected"));
        return;
    }
    framePath = stillFramePath(md5);
    if (!framePath.isEmpty() && QFileInfo(framePath).isFile()) {
        showFrame(framePath);
        return;
    }
    const QString clip = localClipPath(filename);
    if (clip.isEmpty()) {
        showPlaceholder(QStringLiteral("No frame: \"%1\" is not a clip path below the local root.")
                            .arg(filename));
        return;
    }
    if (!QFileInfo(clip).isFile()) {
        showPlaceholder(QStringLiteral("No frame: the clip %1 is not on this computer.")
                            .arg(QDir::toNativeSeparators(clip)));
        return;
    }
    if (framePath.isEmpty()) {
        showPlaceholder(QStringLiteral("No frame: the shot has no valid MD5 digest to file "
                                       "its frame under. Sync the project to fill it in."));
        return;
    }
    if (grab->isRunning()) {
        // One encoder at a time; the latest shot is taken when it ends.
        showPlaceholder(QStringLiteral("Taking a frame of %1...").arg(filename));
        return;
    }
    startExtraction();
}

void StillFrameView::startExtraction()
{
    const QString clip = localClipPath(filename);
    const QDir *startDir = ClientState::instance()->startDir;
    const EncoderLocation encoder = findEncoder(startDir ? *startDir : QDir::current());
    if (!encoder.found()) {
        showPlaceholder(QStringLiteral("No frame: ") + encoder.describe());
        return;
    }
    showPlaceholder(QStringLiteral("Taking a frame of %1...").arg(filename));
    runningTarget = framePath;
    runningClip = filename;
    grab->start(encoder.program, clip, framePath);
}

void StillFrameView::extractionFinished(const QString &problem)
{
    const QString finishedTarget = runningTarget;
    const QString finishedClip = runningClip;
    runningTarget.clear();
    runningClip.clear();
    if (framePath.isEmpty() || filename.isEmpty())
        return;
    if (finishedTarget == framePath) {
        if (problem.isEmpty())
            showFrame(framePath);
        else
            showPlaceholder(QStringLiteral("No frame of %1: %2.").arg(finishedClip, problem));
        return;
    }
    // The user moved on while the worker ran: take the shot now shown.
    showShot(filename, md5);
}

void StillFrameView::showPlaceholder(const QString &text)
{
    frame = QPixmap();
    setPixmap(QPixmap());
    setText(text);
}

void StillFrameView::showFrame(const QString &path)
{
    QPixmap loaded(path);
    if (loaded.isNull()) {
        // A damaged cache file is taken again next time.
        QFile::remove(path);
        showPlaceholder(QStringLiteral("No frame: the cached frame was damaged; select the shot "
                                       "again to take a new one."));
        return;
    }
    frame = loaded;
    updateScaledFrame();
}

void StillFrameView::updateScaledFrame()
{
    if (frame.isNull())
        return;
    setPixmap(frame.scaled(contentsRect().size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void StillFrameView::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    updateScaledFrame();
}

void StillFrameView::mouseDoubleClickEvent(QMouseEvent *event)
{
    event->accept();
    if (filename.isEmpty())
        return;
    const QString problem = openClip(filename);
    if (!problem.isEmpty())
        emit message(problem);
}
