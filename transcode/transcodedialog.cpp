#include "transcode/transcodedialog.h"

#include "app/clientstate.h"

#include <QCheckBox>
#include <QDebug>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTextEdit>

#include <cstdlib>

TranscodeDialog::TranscodeDialog()
    : QWidget(nullptr)
{
    qDebug() << "TranscodeDialog::TranscodeDialog()\n ";

    formLayout = new QFormLayout;
    currentFileLabel = new QLabel(this);
    jobNumberLabel = new QLabel;
    totalFilesLabel = new QLabel;
    logEdit = new QTextEdit(this);
    rawDir = QDir("raw");
    transcodeDir = QDir("transcode");

    if (ClientState::instance()->connected == 1) {
        conditionEdit = new QLineEdit;
        formLayout->addWidget(conditionEdit);
    }

    mp4Box = new QCheckBox("720p MP4 6 Mb");
    dnx60Box = new QCheckBox("720p DNX-HD 60 Mb");
    dnx36Box = new QCheckBox("1080p DNX-HD 36 Mb");
    dvBox = new QCheckBox("480p DV 25 Mb");
    formLayout->addWidget(mp4Box);
    formLayout->addWidget(dnx60Box);
    formLayout->addWidget(dnx36Box);
    formLayout->addWidget(dvBox);

    beginButton = new QPushButton("Begin...");
    cancelButton = new QPushButton("Cancel");
    eventLoop = new QEventLoop(this);
    process = new QProcess(this);
    fileCount = 0;

    formLayout->addWidget(beginButton);
    formLayout->addWidget(cancelButton);
    logEdit->setReadOnly(true);
    formLayout->addRow("Current File: ", currentFileLabel);
    formLayout->addRow("Current File: ", jobNumberLabel);
    formLayout->addRow("Total Files: ", totalFilesLabel);
    formLayout->addWidget(logEdit);

    // The window is never deleted while the client runs, so destroyed()
    // cannot fire during a run; the connection stays for completeness.
    connect(this, SIGNAL(destroyed()), this, SLOT(stop()));
    connect(beginButton, &QPushButton::clicked, this, &TranscodeDialog::start);
    connect(cancelButton, &QPushButton::clicked, this, &TranscodeDialog::stop);
    connect(process, &QProcess::finished, this, &TranscodeDialog::nextFile);
    connect(process, &QProcess::readyRead, this, &TranscodeDialog::updateText);

    if (conditionEdit)
        conditionEdit->setObjectName("conditionEdit");
    mp4Box->setObjectName("mp4Box");
    dnx60Box->setObjectName("dnx60Box");
    dnx36Box->setObjectName("dnx36Box");
    dvBox->setObjectName("dvBox");
    beginButton->setObjectName("beginButton");
    cancelButton->setObjectName("cancelButton");
    currentFileLabel->setObjectName("currentFileLabel");
    jobNumberLabel->setObjectName("jobNumberLabel");
    totalFilesLabel->setObjectName("totalFilesLabel");
    logEdit->setObjectName("logEdit");

    setLayout(formLayout);
    show();
}

void TranscodeDialog::start()
{
    qDebug() << "TranscodeDialog::start()\n ";
    scan();
    process->setReadChannel(QProcess::StandardError);
    nextFile(0);
}

void TranscodeDialog::scan()
{
    qDebug() << "TranscodeDialog::scan()\n ";
}

void TranscodeDialog::nextFile(int status)
{
    Q_UNUSED(status);
    qDebug() << "TranscodeDialog::nextFile()\n ";
}

void TranscodeDialog::updateText()
{
}

void TranscodeDialog::stop()
{
    qDebug() << "TranscodeDialog::stop()\n ";
    process->close();
    std::exit(0);
}
