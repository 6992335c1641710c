#include "shots/framegrab.h"

#include "shots/clippaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

FrameGrab::FrameGrab(QObject *parent)
    : QObject(parent)
    , limit(new QTimer(this))
{
    limit->setSingleShot(true);
    limit->setInterval(limitMs);
    connect(limit, &QTimer::timeout, this, [this]() {
        letGo();
        end(QStringLiteral("the encoder did not finish within %1 s").arg(limitMs / 1000));
    });
}

FrameGrab::~FrameGrab()
{
    letGo();
}

void FrameGrab::letGo()
{
    if (!process)
        return;
    QProcess *old = process;
    process = nullptr;
    old->disconnect(this);
    if (old->state() == QProcess::NotRunning) {
        old->deleteLater();
        return;
    }
    // Killed, and handed to the application: its destructor would wait for
    // the process to end, which an encoder stuck on a share may not do for
    // minutes. It is freed once the system reports the end.
    old->setParent(QCoreApplication::instance());
    connect(old, &QProcess::finished, old, &QObject::deleteLater);
    connect(old, &QProcess::errorOccurred, old, [old](QProcess::ProcessError error) {
        if (error == QProcess::Crashed || error == QProcess::FailedToStart)
            old->deleteLater();
    });
    old->kill();
    QFile::remove(partPath);
}

void FrameGrab::start(const QString &encoder, const QString &clip, const QString &target)
{
    letGo();
    limit->stop();
    encoderPath = encoder;
    clipPath = clip;
    targetPath = target;
    partPath = target + QStringLiteral(".part.jpg");
    offset = 1;
    running = true;
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        // Reported from the event loop, as every other end.
        QTimer::singleShot(0, this, [this]() {
            end(QStringLiteral("the cache folder %1 cannot be created")
                    .arg(QDir::toNativeSeparators(QFileInfo(targetPath).absolutePath())));
        });
        return;
    }
    limit->start();
    runAttempt();
}

void FrameGrab::runAttempt()
{
    QFile::remove(partPath);
    process = new QProcess(this);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(process, &QProcess::finished, this, &FrameGrab::attemptEnded);
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            const QString why = process ? process->errorString() : QString();
            letGo();
            end(QStringLiteral("the encoder could not be started: %1").arg(why));
        }
    });
    process->start(encoderPath, stillFrameArguments(clipPath, offset, partPath));
    process->closeWriteChannel();
}

void FrameGrab::attemptEnded()
{
    QProcess *done = process;
    process = nullptr;
    QString problem;
    if (done->exitStatus() != QProcess::NormalExit) {
        problem = QStringLiteral("the encoder crashed");
    } else if (done->exitCode() != 0) {
        const QString error = QString::fromLocal8Bit(done->readAllStandardError()).trimmed();
        problem = QStringLiteral("the encoder failed (exit code %1)%2")
                      .arg(done->exitCode())
                      .arg(error.isEmpty() ? QString() : QStringLiteral(": ") + error.section(QLatin1Char('\n'), -1));
    } else if (QFileInfo(partPath).size() <= 0) {
        problem = QStringLiteral("the encoder found no picture in the clip");
    }
    done->deleteLater();
    if (!problem.isEmpty() && offset > 0) {
        // Shorter than the offset: its first frame.
        offset = 0;
        runAttempt();
        return;
    }
    if (!problem.isEmpty()) {
        QFile::remove(partPath);
        end(problem);
        return;
    }
    QFile::remove(targetPath);
    if (!QFile::rename(partPath, targetPath)) {
        QFile::remove(partPath);
        end(QStringLiteral("the frame could not be stored in %1").arg(QDir::toNativeSeparators(targetPath)));
        return;
    }
    end(QString());
}

void FrameGrab::end(const QString &problem)
{
    limit->stop();
    running = false;
    emit finished(problem);
}
