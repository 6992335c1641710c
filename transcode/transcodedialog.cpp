#include "transcode/transcodedialog.h"

#include "app/clientstate.h"
#include "transcode/encoderlocator.h"
#include "transcode/encoderrunner.h"
#include "transcode/scanfilter.h"
#include "transcode/transcodejob.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDebug>
#include <QDirIterator>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTreeView>

#include <cstdlib>

namespace {
// The log keeps the end of a long job's output, not all of it.
constexpr int logLineLimit = 5000;
} // namespace

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

    // Below the window's fixed rows: the running job's progress, the jobs
    // of the run with their states, and a line for what stopped a run.
    progressBar = new QProgressBar;
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    jobList = new JobListModel(this);
    jobView = new QTreeView;
    jobView->setModel(jobList);
    jobView->setRootIsDecorated(false);
    jobView->setUniformRowHeights(true);
    jobView->setAlternatingRowColors(true);
    jobView->setSelectionBehavior(QAbstractItemView::SelectRows);
    jobView->header()->setStretchLastSection(true);
    messageLabel = new QLabel;
    messageLabel->setWordWrap(true);
    messageLabel->setTextFormat(Qt::PlainText);
    messageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    messageLabel->hide();
    formLayout->addRow("Progress: ", progressBar);
    formLayout->addRow(jobView);
    formLayout->addRow(messageLabel);
    logEdit->document()->setMaximumBlockCount(logLineLimit);

    runner = new EncoderRunner(process, this);

    // The window is never deleted while the client runs, so destroyed()
    // cannot fire during a run; the connection stays for completeness.
    connect(this, SIGNAL(destroyed()), this, SLOT(stop()));
    connect(beginButton, &QPushButton::clicked, this, &TranscodeDialog::start);
    connect(cancelButton, &QPushButton::clicked, this, &TranscodeDialog::stop);
    // The runner folds every way a job can end into one outcome, which then
    // moves the queue on.
    connect(runner, &EncoderRunner::finished, this, &TranscodeDialog::jobFinished);
    connect(runner, &EncoderRunner::outputReady, this, &TranscodeDialog::updateText);
    connect(runner, &EncoderRunner::progressChanged, progressBar, &QProgressBar::setValue);

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
    progressBar->setObjectName("progressBar");
    jobView->setObjectName("jobView");
    messageLabel->setObjectName("messageLabel");

    setLayout(formLayout);
    show();
}

void TranscodeDialog::start()
{
    qDebug() << "TranscodeDialog::start()\n ";
    // Begin is off while a scan or a job runs; this also covers a click
    // that was already on its way.
    if (busy)
        return;
    busy = true;
    beginButton->setEnabled(false);
    showMessage(QString());
    if (!scan()) {
        finishRun();
        return;
    }
    process->setReadChannel(QProcess::StandardError);
    nextFile(0);
}

bool TranscodeDialog::scan()
{
    qDebug() << "TranscodeDialog::scan()\n ";
    jobQueue.clear();
    jobList->clear();
    jobsStarted = 0;
    jobsInRun = 0;
    scanEntries.clear();
    scanOutputs.clear();

    const bool online = ClientState::instance()->connected == 1;
    ScanFilter filter(online, conditionEdit ? conditionEdit->text() : QString());
    if (filter.isActive() && !filter.check()) {
        const QString text = QStringLiteral("The condition was rejected, so nothing was queued. "
                                            "Correct it and press \"Begin...\" again.\n%1")
                                 .arg(filter.errorText());
        showMessage(text);
        appendLog(text);
        return false;
    }

    if (!rawDir.exists()) {
        // Not an error of the run: the walk simply finds nothing.
        showMessage(QStringLiteral("There is no folder \"raw\" in the local root %1, so there is nothing to "
                                   "encode.")
                        .arg(QDir::toNativeSeparators(QDir::currentPath())));
    }
    QDirIterator it(rawDir.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        processPendingEvents();
        const QString entry = it.next();
        if (it.fileInfo().completeSuffix() != QLatin1String("MTS"))
            continue;
        const ScanFilter::Verdict verdict = filter.verdict(entry);
        if (verdict == ScanFilter::Failed) {
            scanEntries.clear();
            const QString text = QStringLiteral("The database could not check %1, so the scan stopped "
                                                "and nothing was queued.\n%2")
                                     .arg(entry, filter.errorText());
            showMessage(text);
            appendLog(text);
            return false;
        }
        if (verdict == ScanFilter::Skipped)
            continue;

        ++fileCount;
        totalFilesLabel->setText(QString::number(fileCount));
        currentFileLabel->setText(entry);
        processPendingEvents();

        // The boxes are read for every clip, so a change during the scan
        // applies from the next clip on.
        clipExisting.clear();
        clipTaken.clear();
        clipTakenBy.clear();
        if (mp4Box->isChecked())
            MP4(1280, 720, 6000, entry);
        if (dnx60Box->isChecked())
            DNX(1280, 720, 60, entry);
        if (dnx36Box->isChecked())
            DNX(1920, 1080, 36, entry);
        if (dvBox->isChecked())
            DV(entry);
        noteSkippedClip(entry);
    }

    // Queued only now, so a scan that stopped half-way queues nothing.
    const int first = jobList->append(scanEntries);
    for (int i = 0; i < scanEntries.size(); ++i) {
        if (scanEntries.at(i).state == JobListModel::Waiting) {
            jobQueue.enqueue(first + i);
            ++jobsInRun;
        }
    }
    scanEntries.clear();
    scanOutputs.clear();
    return true;
}

void TranscodeDialog::MP4(int width, int height, int rate, const QString &entry)
{
    qDebug() << "TranscodeDialog::MP4()\n ";
    plan(mp4Job(width, height, rate, entry, transcodeDir.absolutePath()));
}

void TranscodeDialog::DNX(int width, int height, int rate, const QString &entry)
{
    qDebug() << "TranscodeDialog::DNX()\n ";
    plan(dnxJob(width, height, rate, entry, transcodeDir.absolutePath()));
}

void TranscodeDialog::DV(const QString &entry)
{
    qDebug() << "TranscodeDialog::DV()\n ";
    plan(dvJob(entry, transcodeDir.absolutePath()));
}

void TranscodeDialog::plan(const TranscodeJob &job)
{
    // The directory is made even when the job is then dropped.
    QDir(job.outputDir).mkpath(QStringLiteral("."));
    JobListModel::Entry entry;
    entry.job = job;
    if (QFileInfo::exists(job.output)) {
        entry.state = JobListModel::Skipped;
        entry.reason = QStringLiteral("the output exists");
        clipExisting << QDir::toNativeSeparators(job.output);
    } else if (scanOutputs.contains(job.output)) {
        // Cameras restart their numbering on every card, so two clips below
        // one folder can map to one output; the first one keeps it.
        entry.state = JobListModel::Skipped;
        entry.reason = QStringLiteral("%1 writes the same output").arg(scanOutputs.value(job.output));
        clipTaken << QDir::toNativeSeparators(job.output);
        clipTakenBy = scanOutputs.value(job.output);
    } else {
        scanOutputs.insert(job.output, job.source);
    }
    scanEntries.append(entry);
}

void TranscodeDialog::noteSkippedClip(const QString &entry)
{
    if (!clipExisting.isEmpty())
        appendLog(QStringLiteral("Skipped for %1, the output exists: %2")
                      .arg(entry, clipExisting.join(QStringLiteral(", "))));
    // The outputs of one clip differ only in their preset's folder, so one
    // earlier clip takes all of them.
    if (!clipTaken.isEmpty())
        appendLog(QStringLiteral("Skipped %1: %2 of this run writes the same output: %3")
                      .arg(entry, clipTakenBy, clipTaken.join(QStringLiteral(", "))));
}

void TranscodeDialog::nextFile(int status)
{
    Q_UNUSED(status);
    qDebug() << "TranscodeDialog::nextFile()\n ";
    if (closing)
        return;
    const ClientState *state = ClientState::instance();
    const EncoderLocation encoder = findEncoder(state->startDir ? *state->startDir : QDir::current());

    // A job whose output appeared since the scan is taken as done, never
    // run: the file is not this job's to overwrite or remove.
    while (!jobQueue.isEmpty() && QFileInfo::exists(jobList->entry(jobQueue.head()).job.output)) {
        ++jobsStarted;
        jobList->setState(jobQueue.dequeue(), JobListModel::Done,
                          QStringLiteral("the output already existed, not run"));
    }
    if (jobQueue.isEmpty()) {
        finishRun();
        return;
    }
    if (!encoder.found()) {
        const QString text = encoder.describe();
        abandonQueue(QStringLiteral("not run, the encoder was not found"));
        showMessage(text);
        appendLog(text);
        finishRun();
        return;
    }

    clearLog();
    runningRow = jobQueue.dequeue();
    ++jobsStarted;
    jobNumberLabel->setText(QStringLiteral("job %1 of %2").arg(jobsStarted).arg(jobsInRun));
    progressBar->setValue(0);
    jobList->setState(runningRow, JobListModel::Running);
    jobView->scrollTo(jobList->index(runningRow, 0));
    const TranscodeJob &job = jobList->entry(runningRow).job;
    runner->start(encoder.program, job.arguments, job.output);
}

void TranscodeDialog::jobFinished(const EncoderOutcome &outcome)
{
    if (closing || runningRow < 0)
        return;
    const int row = runningRow;
    runningRow = -1;
    const QString output = jobList->entry(row).job.output;
    if (outcome.succeeded() && !QFileInfo::exists(output)) {
        // Said it was done, but left nothing a later run could find.
        const QString reason = QStringLiteral("the encoder ended without writing %1").arg(QDir::toNativeSeparators(output));
        jobList->setState(row, JobListModel::Failed, reason, outcome.lastLines);
        appendLog(QStringLiteral("The job failed: %1.").arg(reason));
    } else if (outcome.succeeded()) {
        progressBar->setValue(100);
        jobList->setState(row, JobListModel::Done);
    } else {
        QString reason = outcome.reason();
        if (outcome.outputRemoved)
            reason += QStringLiteral(", its partial output was removed");
        jobList->setState(row, JobListModel::Failed, reason, outcome.lastLines);
        appendLog(QStringLiteral("The job failed: %1.").arg(reason));
    }
    if (outcome.status == EncoderOutcome::FailedToStart) {
        // Every further job would fail the same way.
        abandonQueue(QStringLiteral("not run, the encoder could not be started"));
        showMessage(QStringLiteral("The encoder %1 could not be started: %2")
                        .arg(QDir::toNativeSeparators(process->program()), outcome.errorText));
        finishRun();
        return;
    }
    nextFile(outcome.exitCode);
}

void TranscodeDialog::abandonQueue(const QString &reason)
{
    while (!jobQueue.isEmpty())
        jobList->setState(jobQueue.dequeue(), JobListModel::Failed, reason);
}

void TranscodeDialog::finishRun()
{
    busy = false;
    beginButton->setEnabled(true);
    const int failed = jobList->count(JobListModel::Failed);
    if (failed > 0 && messageLabel->isHidden())
        showMessage(QStringLiteral("%1 of %2 jobs failed; the job list shows why.").arg(failed).arg(jobsInRun));
}

void TranscodeDialog::showMessage(const QString &text)
{
    messageLabel->setText(text);
    messageLabel->setVisible(!text.isEmpty());
}

void TranscodeDialog::updateText()
{
    const QList<ProgressParser::Line> lines = runner->takeLines();
    for (const ProgressParser::Line &line : lines)
        appendLog(line.text, line.progress);
}

void TranscodeDialog::clearLog()
{
    logEdit->clear();
    logHasLines = false;
    logEndsWithProgress = false;
}

void TranscodeDialog::appendLog(const QString &text, bool progress)
{
    // Plain text, whatever it looks like; a progress line takes the place
    // of the one before it, as on the encoder's own console.
    QScrollBar *scrollBar = logEdit->verticalScrollBar();
    const bool atEnd = scrollBar->value() == scrollBar->maximum();
    QTextCursor cursor(logEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (progress && logEndsWithProgress) {
        cursor.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
    } else if (logHasLines) {
        cursor.insertBlock();
    }
    cursor.insertText(text);
    logHasLines = true;
    logEndsWithProgress = progress;
    if (atEnd)
        scrollBar->setValue(scrollBar->maximum());
}

void TranscodeDialog::processPendingEvents()
{
    eventLoop->processEvents(QEventLoop::AllEvents);
}

void TranscodeDialog::closeEvent(QCloseEvent *event)
{
    // Closing acts as "Cancel": an encoder left running would go on
    // writing a file nobody waits for.
    event->accept();
    stop();
}

void TranscodeDialog::stop()
{
    qDebug() << "TranscodeDialog::stop()\n ";
    closing = true;
    runner->stop(stopGraceMs);
    process->close();
    std::exit(0);
}
