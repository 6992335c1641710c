#include "projects/populatedb.h"

#include "app/clientstate.h"

#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

PopulateDB::PopulateDB(QWidget *parent)
    : QWidget(parent, Qt::Dialog)
{
    setWindowTitle("Sync Project");
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(520);

    // The local root is the current directory from the login on.
    engine = new SyncEngine(QDir::currentPath(), ClientState::instance()->projectId,
                            QLatin1String(QSqlDatabase::defaultConnection), this);

    titleLabel = new QLabel(QStringLiteral("Syncing the clips below %1")
                                .arg(QDir::toNativeSeparators(QDir::current().filePath("raw"))));
    titleLabel->setWordWrap(true);
    progressBar = new QProgressBar;
    progressBar->setRange(0, 0);
    countsLabel = new QLabel("Looking for clips...");
    currentLabel = new QLabel;
    currentLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    detailsView = new QPlainTextEdit;
    detailsView->setReadOnly(true);
    detailsView->hide();
    cancelButton = new QPushButton("Cancel");

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(titleLabel);
    layout->addWidget(progressBar);
    layout->addWidget(countsLabel);
    layout->addWidget(currentLabel);
    layout->addWidget(detailsView, 1);
    layout->addLayout(buttons);

    progressBar->setObjectName("progressBar");
    countsLabel->setObjectName("countsLabel");
    currentLabel->setObjectName("currentLabel");
    detailsView->setObjectName("detailsView");
    cancelButton->setObjectName("cancelButton");

    connect(engine, &SyncEngine::progressChanged, this, &PopulateDB::showProgress);
    connect(engine, &SyncEngine::finished, this, &PopulateDB::showSummary);
    connect(cancelButton, &QPushButton::clicked, this, &PopulateDB::buttonClicked);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, cancelButton, &QPushButton::click);
}

PopulateDB::~PopulateDB() = default;

SyncSummary PopulateDB::run()
{
    QEventLoop waiting;
    loop = &waiting;
    show();
    engine->start();
    waiting.exec();
    if (engine->isRunning()) {
        // Closed mid-run: the cancel ends the run within about a second
        // (what waits for the server is cut off), and its summary is the
        // one returned.
        QEventLoop ending;
        connect(engine, &SyncEngine::finished, &ending, &QEventLoop::quit);
        if (engine->isRunning())
            ending.exec();
    }
    loop = nullptr;
    hide();
    return engine->summary();
}

void PopulateDB::closeEvent(QCloseEvent *event)
{
    engine->cancel();
    if (loop)
        loop->quit();
    event->accept();
}

void PopulateDB::buttonClicked()
{
    if (engine->isRunning()) {
        // Taken: the summary follows within about a second.
        cancelButton->setEnabled(false);
        engine->cancel();
    } else if (loop) {
        loop->quit();
    }
}

void PopulateDB::showProgress(const SyncProgress &progress)
{
    if (progress.clipsTotal >= 0) {
        progressBar->setRange(0, 1000);
        progressBar->setValue(progress.bytesTotal > 0 ? int(progress.bytesDone * 1000 / progress.bytesTotal) : 0);
    }
    countsLabel->setText(progress.text());
    QString current, currentPath;
    if (!progress.currentClip.isEmpty()) {
        current = "Hashing " + progress.currentClip;
        currentPath = progress.currentClip;
    } else if (!progress.currentMedia.isEmpty()) {
        // The clips are recorded; what is left is reading their media.
        current = "Reading the media of " + progress.currentMedia;
        currentPath = progress.currentMedia;
    }
    currentLabel->setText(currentLabel->fontMetrics().elidedText(current, Qt::ElideMiddle, currentLabel->width()));
    currentLabel->setToolTip(currentPath);
}

void PopulateDB::showSummary(const SyncSummary &summary)
{
    progressBar->setRange(0, 1000);
    if (summary.status == SyncSummary::Status::Completed)
        progressBar->setValue(1000);
    const QString raw = QDir::toNativeSeparators(QDir::current().filePath("raw"));
    switch (summary.status) {
    case SyncSummary::Status::Completed:
        titleLabel->setText(QStringLiteral("Synced the clips below %1").arg(raw));
        break;
    case SyncSummary::Status::Cancelled:
        titleLabel->setText(QStringLiteral("Sync of the clips below %1 cancelled").arg(raw));
        break;
    case SyncSummary::Status::Refused:
        titleLabel->setText(QStringLiteral("Nothing was synced"));
        break;
    case SyncSummary::Status::DatabaseFailed:
        titleLabel->setText(QStringLiteral("Sync of the clips below %1 stopped: the database failed").arg(raw));
        break;
    }
    const QStringList lines = summary.text().split(QLatin1Char('\n'));
    countsLabel->setText(lines.first());
    countsLabel->setWordWrap(true);
    currentLabel->clear();
    currentLabel->setToolTip(QString());
    if (lines.size() > 1) {
        detailsView->setPlainText(lines.mid(1).join(QLatin1Char('\n')));
        detailsView->show();
    }
    cancelButton->setText("Close");
    cancelButton->setEnabled(true);
    cancelButton->setDefault(true);
    cancelButton->setFocus();
}
