#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QProcess;
class QTimer;

// Takes one still frame of a clip with the encoder and stores it at a
// target path (written to a side file first, so a half-written frame is
// never taken for a frame). The encoder runs as an asynchronous process,
// as the transcode runner's does: nothing waits for it. A frame one second
// in avoids the black first frame of many camera clips; a clip shorter
// than that gets its first frame.
//
// An encoder that hangs on a clip (a share that stopped answering) is given
// up after a limit; and when the grab is deleted while its encoder runs,
// the encoder is killed and let go of, never waited for: the window that
// owned the grab goes on at once, and the process object is freed once the
// system has ended it.
class FrameGrab : public QObject
{
    Q_OBJECT

public:
    static constexpr int limitMs = 60000;

    explicit FrameGrab(QObject *parent = nullptr);
    ~FrameGrab() override;

    // Starts taking the frame; finished() follows, also on failure.
    void start(const QString &encoder, const QString &clip, const QString &target);
    bool isRunning() const { return running; }
    QString target() const { return targetPath; }

signals:
    // problem is empty when the frame is stored at target, else why not.
    void finished(const QString &problem);

private:
    void runAttempt();
    void attemptEnded();
    void end(const QString &problem);
    void letGo();

    QString encoderPath;
    QString clipPath;
    QString targetPath;
    QString partPath;
    int offset = 1;
    bool running = false;
    QPointer<QProcess> process;
    QTimer *limit = nullptr;
};
