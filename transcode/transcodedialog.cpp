#include "transcode/transcodedialog.h"

#include "app/clientstate.h"
#include "app/processend.h"
#include "files/clipfinder.h"
#include "files/partialfile.h"
#include "transcode/scanfilter.h"
#include "transcode/transcodejob.h"
#include "transcode/transcodescan.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTreeView>


namespace {
// The log keeps the end of a long job's output, not all of it.
constexpr int logLineLimit = 5000;

// Laying out one line of a million characters takes the window minutes:
// what is shown at once is never longer than this, and says it was cut.
constexpr int shownTextLimit = 4000;

QString bounded(const QString &text)
{
    if (text.size() <= shownTextLimit)
        return text;
    int keep = shownTextLimit;
    if (text.at(keep - 1).isHighSurrogate())
        --keep;
    return text.left(keep)
        + QStringLiteral(" ... [cut here: %1 more characters not shown]").arg(text.size() - keep);
}
} // namespace

TranscodeDialog::TranscodeDialog()
    : QWidget(nullptr)
{
    build(false);
}

TranscodeDialog::TranscodeDialog(const ShotClips &shots)
    : QWidget(nullptr)
{
    build(true);
    offerShots(shots);
}

void TranscodeDialog::build(bool besideMainWindow)
{
    qDebug() << "TranscodeDialog::TranscodeDialog()\n ";
    endsClient = !besideMainWindow;

    formLayout = new QFormLayout;
    currentFileLabel = new QLabel(this);
    jobNumberLabel = new QLabel;
    totalFilesLabel = new QLabel;
    logEdit = new QTextEdit(this);
    rawDir = QDir("raw");
    transcodeDir = QDir("transcode");

    if (besideMainWindow) {
        // The shots of the main window, as they were when it opened this
        // window; every clip, as from the chooser, is the last choice.
        selectedShotsButton = new QRadioButton;
        foundShotsButton = new QRadioButton;
        everyClipButton = new QRadioButton(QStringLiteral("Every clip below raw/"));
        auto *choice = new QButtonGroup(this);
        for (QRadioButton *button : {selectedShotsButton, foundShotsButton, everyClipButton})
            choice->addButton(button);
        selectedShotsButton->setObjectName("selectedShotsButton");
        foundShotsButton->setObjectName("foundShotsButton");
        everyClipButton->setObjectName("everyClipButton");
        formLayout->addRow(QStringLiteral("Clips to encode: "), selectedShotsButton);
        formLayout->addRow(QString(), foundShotsButton);
        formLayout->addRow(QString(), everyClipButton);
    }
    if (ClientState::instance()->connected == 1) {
        conditionEdit = new QLineEdit;
        formLayout->addRow(QStringLiteral("SQL condition, for experts"), conditionEdit);
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
    jobQueue = new TranscodeQueue(process, this);
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
    jobList = new JobListModel(jobQueue, this);
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
    // The bar follows one job at a time, from 0 for each.
    formLayout->addRow("Progress of this job: ", progressBar);
    formLayout->addRow(jobView);
    formLayout->addRow(messageLabel);
    logEdit->document()->setMaximumBlockCount(logLineLimit);

    // The window is never deleted while the client runs, so destroyed()
    // cannot fire during a run; the connection stays for completeness.
    connect(this, SIGNAL(destroyed()), this, SLOT(stop()));
    connect(beginButton, &QPushButton::clicked, this, &TranscodeDialog::start);
    connect(cancelButton, &QPushButton::clicked, this, &TranscodeDialog::stop);
    // The queue moves from job to job itself; the window shows what it
    // does, and asks it for the next job when one ends.
    connect(jobQueue, &TranscodeQueue::jobStarted, this, &TranscodeDialog::jobStarted);
    connect(jobQueue, &TranscodeQueue::jobEnded, this, [this](int row, int exitCode) {
        if (jobQueue->entry(row).state == TranscodeQueue::Done)
            progressBar->setValue(100);
        nextFile(exitCode);
    });
    connect(jobQueue, &TranscodeQueue::drained, this, &TranscodeDialog::finishRun);
    connect(jobQueue, &TranscodeQueue::note, this, [this](const QString &text) { appendLog(text); });
    connect(jobQueue, &TranscodeQueue::problem, this, [this](const QString &text) {
        showMessage(text);
        appendLog(text);
    });
    connect(jobQueue, &TranscodeQueue::outputReady, this, &TranscodeDialog::updateText);
    connect(jobQueue, &TranscodeQueue::progressChanged, progressBar, &QProgressBar::setValue);

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

void TranscodeDialog::offerShots(const ShotClips &offered)
{
    if (!selectedShotsButton)
        return;
    shots = offered;
    selectedShotsButton->setText(QStringLiteral("Selected shots (%1)").arg(shots.selected.size()));
    foundShotsButton->setText(QStringLiteral("Shots found by the find (%1)").arg(shots.found.size()));
    selectedShotsButton->setEnabled(!shots.selected.isEmpty());
    foundShotsButton->setEnabled(!shots.found.isEmpty());
    // What the user pointed at first: the selection, else what the find
    // shows; every clip only when there are no shots to offer.
    if (!shots.selected.isEmpty())
        selectedShotsButton->setChecked(true);
    else if (!shots.found.isEmpty())
        foundShotsButton->setChecked(true);
    else
        everyClipButton->setChecked(true);
}

std::optional<QSet<QString>> TranscodeDialog::chosenClips() const
{
    const QStringList *clips = nullptr;
    if (selectedShotsButton && selectedShotsButton->isChecked())
        clips = &shots.selected;
    else if (foundShotsButton && foundShotsButton->isChecked())
        clips = &shots.found;
    if (!clips)
        return std::nullopt;
    return QSet<QString>(clips->cbegin(), clips->cend());
}

void TranscodeDialog::start()
{
    qDebug() << "TranscodeDialog::start()\n ";
    // Begin is off while a scan or a job runs; this also covers a click
    // that was already on its way.
    if (busy)
        return;
    if (tickedPresets().isEmpty()) {
        showMessage(QStringLiteral("No preset is ticked, so nothing was started. Tick at least one preset and "
                                   "press \"Begin...\" again."));
        return;
    }
    busy = true;
    cancelled = false;
    jobRan = false;
    beginButton->setEnabled(false);
    showMessage(QString());
    // The rows speak of this run only.
    fileCount = 0;
    currentFileLabel->clear();
    jobNumberLabel->clear();
    totalFilesLabel->clear();
    progressBar->setValue(0);
    scanning = true;
    const bool queued = scan();
    scanning = false;
    if (!queued) {
        finishRun();
        return;
    }
    process->setReadChannel(QProcess::StandardError);
    nextFile(0);
}

QList<Preset> TranscodeDialog::tickedPresets() const
{
    QList<Preset> presets;
    if (mp4Box->isChecked())
        presets << Preset::Mp4;
    if (dnx60Box->isChecked())
        presets << Preset::Dnx60;
    if (dnx36Box->isChecked())
        presets << Preset::Dnx36;
    if (dvBox->isChecked())
        presets << Preset::Dv;
    return presets;
}

bool TranscodeDialog::scan()
{
    qDebug() << "TranscodeDialog::scan()\n ";
    jobQueue->clear();
    // The log, too, speaks of this run only.
    scanNotesStart = QTextCursor();
    scanNotesEnd = QTextCursor();
    clearLog();

    const bool online = ClientState::instance()->connected == 1;
    ScanFilter filter(online, conditionEdit ? conditionEdit->text() : QString());
    if (filter.isActive() && !filter.check()) {
        const QString text = QStringLiteral("The condition was rejected, so nothing was queued. "
                                            "Correct it and press \"Begin...\" again.\n%1")
                                 .arg(filter.errorString());
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

    // The boxes are read once, when the run begins.
    TranscodeScan::Input input;
    input.presets = tickedPresets();
    input.outputRoot = transcodeDir.absolutePath();
    input.only = chosenClips();
    input.host = PartialFile::hostTag();
    input.pid = QCoreApplication::applicationPid();
    int named = 0;
    input.jobFor = [this, &named](Preset preset, const QString &clip) {
        // The window stays live while a large tree is named.
        if (++named % 256 == 0)
            processPendingEvents();
        return presetJob(preset, clip);
    };
    input.keepAlive = [this] { processPendingEvents(); };
    input.report = [this](const QStringList &lines) {
        keepScanNotes(lines);
        processPendingEvents();
    };
    // The same clips as the sync's, in path order; what the walk could not
    // take is said, as the sync says it, so no clip is left out unseen.
    const ClipWalk walk = ClipFinder::walk(QDir::currentPath());
    input.clips.reserve(walk.clips.size());
    for (const ClipEntry &clip : walk.clips)
        input.clips << clip.path;
    QStringList walkNotes;
    for (const SkippedEntry &entry : walk.skipped)
        walkNotes << QStringLiteral("Skipped %1: %2").arg(entry.path, entry.reason);
    keepScanNotes(walkNotes);
    processPendingEvents();

    const TranscodeScan::Result result = TranscodeScan::run(input, [&](const QString &entry) {
        processPendingEvents();
        if (cancelled)
            return TranscodePlanner::Verdict::Stop;
        const ScanFilter::Verdict verdict = filter.verdict(entry);
        if (verdict == ScanFilter::Failed)
            return TranscodePlanner::Verdict::Stop;
        if (verdict == ScanFilter::Skipped)
            return TranscodePlanner::Verdict::Skip;
        ++fileCount;
        totalFilesLabel->setText(QString::number(fileCount));
        currentFileLabel->setText(entry);
        processPendingEvents();
        return TranscodePlanner::Verdict::Accept;
    });
    if (cancelled) {
        showMessage(QStringLiteral("Cancelled: nothing was queued."));
        return false;
    }
    if (result.stopped) {
        const QString text = QStringLiteral("The database could not check %1, so the scan stopped "
                                            "and nothing was queued.\n%2")
                                 .arg(result.stoppedAt, filter.errorString());
        showMessage(text);
        appendLog(text);
        return false;
    }
    if (!result.ok) {
        showMessage(result.error);
        appendLog(result.error);
        return false;
    }
    jobQueue->add(result.entries);
    return true;
}

void TranscodeDialog::keepScanNotes(const QStringList &lines)
{
    // Shown now, and kept above each job's output: what the scan left out
    // must stay in view after the run.
    if (lines.isEmpty())
        return;
    if (scanNotesStart.isNull()) {
        QTextCursor cursor(logEdit->document());
        cursor.movePosition(QTextCursor::End);
        if (logHasLines) {
            cursor.insertBlock();
            logHasLines = false;   // the notes begin in the new, empty line
            logEndsWithProgress = false;
        }
        scanNotesStart = cursor;
        // The notes written at the mark go after it.
        scanNotesStart.setKeepPositionOnInsert(true);
    }
    appendLogLines(lines);
    scanNotesEnd = QTextCursor(logEdit->document());
    scanNotesEnd.movePosition(QTextCursor::End);
    // A job's output written after the notes does not move the mark.
    scanNotesEnd.setKeepPositionOnInsert(true);
}

TranscodeJob TranscodeDialog::presetJob(Preset preset, const QString &entry)
{
    const PresetParameters &p = presetParameters(preset);
    switch (p.kind) {
    case PresetParameters::Mp4:
        return MP4(p.width, p.height, p.rate, entry);
    case PresetParameters::Dnx:
        return DNX(p.width, p.height, p.rate, entry);
    case PresetParameters::Dv:
        break;
    }
    return DV(entry);
}

TranscodeJob TranscodeDialog::MP4(int width, int height, int rate, const QString &entry)
{
    qDebug() << "TranscodeDialog::MP4()\n ";
    return mp4Job(width, height, rate, entry, transcodeDir.absolutePath());
}

TranscodeJob TranscodeDialog::DNX(int width, int height, int rate, const QString &entry)
{
    qDebug() << "TranscodeDialog::DNX()\n ";
    return dnxJob(width, height, rate, entry, transcodeDir.absolutePath());
}

TranscodeJob TranscodeDialog::DV(const QString &entry)
{
    qDebug() << "TranscodeDialog::DV()\n ";
    return dvJob(entry, transcodeDir.absolutePath());
}

void TranscodeDialog::nextFile(int status)
{
    Q_UNUSED(status);
    qDebug() << "TranscodeDialog::nextFile()\n ";
    if (closing || cancelled)
        return;
    // Looked up again for every job.
    const ClientState *state = ClientState::instance();
    jobQueue->setStartDir(state->startDir ? *state->startDir : QDir::current());
    jobQueue->start();
}

void TranscodeDialog::jobStarted(int row)
{
    clearLog();
    // The clip being encoded, not the last one the scan looked at.
    jobRan = true;
    currentFileLabel->setText(jobQueue->entry(row).job.source);
    jobNumberLabel->setText(QStringLiteral("job %1 of %2").arg(jobQueue->started()).arg(jobQueue->total()));
    progressBar->setValue(0);
    jobView->scrollTo(jobList->index(row, 0));
}

void TranscodeDialog::finishRun()
{
    busy = false;
    beginButton->setEnabled(true);
    // No clip is encoded now; one that was keeps its name there.
    if (!jobRan)
        currentFileLabel->clear();
    const int failed = jobQueue->count(TranscodeQueue::Failed);
    if (failed > 0 && messageLabel->isHidden())
        showMessage(QStringLiteral("%1 of %2 jobs failed; the job list shows why.").arg(failed).arg(jobQueue->total()));
}

void TranscodeDialog::showMessage(const QString &text)
{
    messageLabel->setText(bounded(text));
    messageLabel->setVisible(!text.isEmpty());
}

void TranscodeDialog::updateText()
{
    const QList<ProgressParser::Line> lines = jobQueue->takeLines();
    for (const ProgressParser::Line &line : lines)
        appendLog(line.text, line.progress);
}

void TranscodeDialog::clearLog()
{
    // The scan's notes stay on top; what came before them (an earlier run)
    // and after them (the job before) goes. The notes are never laid out
    // again, however many there are.
    if (scanNotesStart.isNull()) {
        logEdit->clear();
        logHasLines = false;
        logEndsWithProgress = false;
        return;
    }
    QTextCursor after = scanNotesEnd;
    after.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    after.removeSelectedText();
    QTextCursor before(logEdit->document());
    before.setPosition(scanNotesStart.position(), QTextCursor::KeepAnchor);
    before.removeSelectedText();
    logHasLines = true;
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
    cursor.insertText(bounded(text));
    logHasLines = true;
    logEndsWithProgress = progress;
    if (atEnd)
        scrollBar->setValue(scrollBar->maximum());
}

void TranscodeDialog::appendLogLines(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    QScrollBar *scrollBar = logEdit->verticalScrollBar();
    const bool atEnd = scrollBar->value() == scrollBar->maximum();
    QTextCursor cursor(logEdit->document());
    cursor.movePosition(QTextCursor::End);
    // One edit, so the log is laid out once, not once per line: a scan can
    // have a note for every clip.
    cursor.beginEditBlock();
    for (const QString &line : lines) {
        if (logHasLines)
            cursor.insertBlock();
        cursor.insertText(bounded(line));
        logHasLines = true;
    }
    cursor.endEditBlock();
    logEndsWithProgress = false;
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

void TranscodeDialog::cancelRun()
{
    // A scan stops at its next clip and queues nothing; a running encoder
    // is stopped and its partial file removed; waiting jobs stay undone.
    if (busy) {
        cancelled = true;
        // A scan ends the run itself, when it returns to start().
        if (!scanning) {
            jobQueue->stop(stopGraceMs);
            jobQueue->abandon(QStringLiteral("not run, the run was cancelled"));
            finishRun();
            showMessage(QStringLiteral("Cancelled: the running job was stopped, and the jobs after it were "
                                       "not run."));
        }
    }
    hide();
}

void TranscodeDialog::stop()
{
    qDebug() << "TranscodeDialog::stop()\n ";
    if (!endsClient) {
        cancelRun();
        return;
    }
    closing = true;
    jobQueue->stop(stopGraceMs);
    process->close();
    endProcess(0);
}
