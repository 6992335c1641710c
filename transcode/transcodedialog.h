#pragma once

#include <QDir>
#include <QEventLoop>
#include <QQueue>
#include <QStringList>
#include <QWidget>

class QCheckBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QProcess;
class QPushButton;
class QTextEdit;

// The window that encodes the clips below raw/ into editing copies below
// transcode/. Opened online from the project chooser (with a condition field
// that filters clips through the database) or offline from the login.
class TranscodeDialog : public QWidget
{
    Q_OBJECT

public:
    // Builds the window and shows it; the callers keep no pointer to it.
    TranscodeDialog();

public slots:
    void start();
    void stop();
    void nextFile(int status);
    void updateText();

private:
    void scan();

    QLabel *currentFileLabel;
    QLabel *jobNumberLabel;
    QLabel *totalFilesLabel;
    QFormLayout *formLayout;
    QTextEdit *logEdit;
    QDir rawDir;
    QDir transcodeDir;
    QEventLoop *eventLoop;
    QQueue<QStringList> jobQueue;
    QProcess *process;
    QCheckBox *mp4Box;
    QCheckBox *dnx60Box;
    QCheckBox *dnx36Box;
    QCheckBox *dvBox;
    QLineEdit *conditionEdit = nullptr;
    QPushButton *beginButton;
    QPushButton *cancelButton;
    int fileCount;
};
