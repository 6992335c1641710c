#pragma once

#include <QLabel>

class FrameGrab;

// A still frame of the current shot beside the details form. The frame is
// taken once with the encoder (an asynchronous process, see FrameGrab) and
// kept in the user's cache folder under the clip's MD5. When there is no frame to show, the
// label says why. Double-clicking opens the clip in the default player.
class StillFrameView : public QLabel
{
    Q_OBJECT

public:
    explicit StillFrameView(QWidget *parent = nullptr);
    // Never waits for a running encoder: it is killed and let go of.
    ~StillFrameView() override;

    // Shows the frame of the shot with the given clip path and digest,
    // taking it first when it is not cached yet. An empty filename clears.
    void showShot(const QString &filename, const QString &md5);

    bool isExtracting() const;
    QString currentFilename() const { return filename; }

signals:
    // Something the user should know (a clip that cannot be opened).
    void message(const QString &text);

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showPlaceholder(const QString &text);
    void showFrame(const QString &path);
    void startExtraction();
    void extractionFinished(const QString &problem);
    void updateScaledFrame();

    QString filename;
    QString md5;
    QString framePath;       // where the current shot's frame is cached
    QString runningTarget;   // the frame the worker is taking
    QString runningClip;
    QPixmap frame;
    FrameGrab *grab = nullptr;
};
