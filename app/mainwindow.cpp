#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/layoutkeys.h"
#include "app/processend.h"
#include "app/shortcuts.h"
#include "db/connectionsettings.h"
#include "db/dbworker.h"
#include "app/logindialog.h"
#include "projects/projectselector.h"
#include "shots/csvexport.h"
#include "shots/findbar.h"
#include "shots/gridwidget.h"
#include "shots/historypanel.h"
#include "shots/shotedits.h"
#include "shots/quicktags.h"
#include "shots/shotinfowidget.h"
#include "shots/tagsdialog.h"
#include "shots/shottablemodel.h"
#include "shots/stillframeview.h"
#include "transcode/transcodedialog.h"

#include <QAction>
#include <QCheckBox>
#include <QItemSelectionModel>
#include <QGridLayout>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QApplication>
#include <QCloseEvent>
#include <QDataWidgetMapper>
#include <QDir>
#include <QDockWidget>
#include <QEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QSplitterHandle>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>


namespace {
// Work that has waited this long shows the busy note with Cancel.
constexpr int busyNoteAfterMs = 1000;

bool undoAvailable(const QWidget *widget, bool redo)
{
    if (auto *line = qobject_cast<const QLineEdit *>(widget))
        return redo ? line->isRedoAvailable() : line->isUndoAvailable();
    if (auto *text = qobject_cast<const QTextEdit *>(widget))
        return redo ? text->document()->isRedoAvailable() : text->document()->isUndoAvailable();
    if (auto *text = qobject_cast<const QPlainTextEdit *>(widget))
        return redo ? text->document()->isRedoAvailable() : text->document()->isUndoAvailable();
    return false;
}

void undoIn(QWidget *widget, bool redo)
{
    if (auto *line = qobject_cast<QLineEdit *>(widget))
        redo ? line->redo() : line->undo();
    else if (auto *text = qobject_cast<QTextEdit *>(widget))
        redo ? text->redo() : text->undo();
    else if (auto *text = qobject_cast<QPlainTextEdit *>(widget))
        redo ? text->redo() : text->undo();
}
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    splitter = new QSplitter(this);

    connect(qApp, &QGuiApplication::lastWindowClosed, qApp, &QCoreApplication::quit);

    {
        LoginDialog login(this);
        if (login.exec() == QDialog::Rejected) {
            close();
            return;
        }
    }
    {
        ProjectSelector chooser(nullptr);
        if (chooser.exec() == QDialog::Rejected) {
            close();
            return;
        }
    }

    // The database thread, and the edits of this window: they outlive the
    // grid and the form, which Change Project builds anew.
    worker = DbWorker::shared();
    edits = new ShotEdits(worker, this);

    splitter->setOrientation(Qt::Vertical);
    setCentralWidget(splitter);
    historyPanel = new HistoryPanel(edits, this);
    buildBrowser();
    handle = new QSplitterHandle(Qt::Vertical, splitter);
    handle->setFixedHeight(4);
    splitter->insertWidget(1, handle);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(2, 2);

    QMenu *fileMenu = menuBar()->addMenu(tr("&File"));
    fileMenu->setObjectName(QStringLiteral("fileMenu"));
    exportAction = fileMenu->addAction(tr("&Export..."));
    exportAction->setObjectName(QStringLiteral("exportAction"));
    connect(exportAction, &QAction::triggered, this, &MainWindow::exportShots);
    transcodeAction = fileMenu->addAction(tr("&Transcode..."));
    transcodeAction->setObjectName(QStringLiteral("transcodeAction"));
    transcodeAction->setToolTip(tr("Encode the clips of the selected shots, or of those the find shows"));
    connect(transcodeAction, &QAction::triggered, this, &MainWindow::openTranscode);
    changeProjectAction = fileMenu->addAction(tr("&Change Project..."));
    changeProjectAction->setObjectName(QStringLiteral("changeProjectAction"));
    connect(changeProjectAction, &QAction::triggered, this, &MainWindow::changeProject);

    // Undo and Redo act on this window's own changes, recorded in the
    // shared history; a field holding typed text undoes its typing first.
    QMenu *editMenu = menuBar()->addMenu(tr("&Edit"));
    editMenu->setObjectName(QStringLiteral("editMenu"));
    undoAction = editMenu->addAction(tr("&Undo"));
    undoAction->setObjectName(QStringLiteral("undoAction"));
    setActionKeys(undoAction, {QKeySequence::Undo});
    redoAction = editMenu->addAction(tr("&Redo"));
    redoAction->setObjectName(QStringLiteral("redoAction"));
    // The platform's Redo holds Ctrl+Shift+Z on every platform (Cmd on the
    // Mac): naming it again would bind it twice, which makes it do nothing.
    setActionKeys(redoAction, {QKeySequence::Redo});
    for (QAction *action : {undoAction, redoAction})
        action->setShortcutContext(Qt::WindowShortcut);
    connect(undoAction, &QAction::triggered, this, [this]() { undo(false); });
    connect(redoAction, &QAction::triggered, this, [this]() { undo(true); });
    editMenu->addSeparator();
    historyOffAction = editMenu->addAction(tr("No &history: ask an administrator to run "
                                              "\"tavelo-sync --setup-database\""));
    historyOffAction->setObjectName(QStringLiteral("historyOffAction"));
    historyOffAction->setEnabled(false);
    historyOffAction->setVisible(false);
    connect(edits, &ShotEdits::undoStateChanged, this, &MainWindow::updateUndoActions);

    // Others edit the same project: Refresh reads every row again and
    // keeps the user's place and what they are typing.
    QMenu *shotsMenu = menuBar()->addMenu(tr("&Shots"));
    shotsMenu->setObjectName(QStringLiteral("shotsMenu"));
    refreshAction = shotsMenu->addAction(tr("&Refresh"));
    refreshAction->setObjectName(QStringLiteral("refreshAction"));
    setActionKeys(refreshAction, {}, {QKeySequence(Qt::Key_F5)});
    refreshAction->setShortcutContext(Qt::WindowShortcut);
    connect(refreshAction, &QAction::triggered, this, [this]() {
        savePending();
        refreshing = true;
        grid->update_request();
        grid->model->readCompletions();
    });

    // Find: the words typed narrow the rows on the server; the status bar
    // says how many of the project's shots are shown.
    ui->mainToolBar->addWidget(findBar);
    ui->mainToolBar->setMovable(false);
    findAction = shotsMenu->addAction(tr("&Find..."));
    findAction->setObjectName(QStringLiteral("findAction"));
    setActionKeys(findAction, {QKeySequence::Find});
    findAction->setShortcutContext(Qt::WindowShortcut);
    connect(findAction, &QAction::triggered, findBar, &FindBar::focusFind);
    connect(findBar, &FindBar::findChanged, this, [this](const QString &text, bool notYetLogged) {
        savePending();
        grid->setFind(text, notYetLogged);
    });

    // Logging from the keyboard: save the form and go on to the next (or
    // previous) shot, the cursor staying in the field being filled in.
    shotsMenu->addSeparator();
    nextAction = shotsMenu->addAction(tr("&Next Shot"));
    nextAction->setObjectName(QStringLiteral("nextAction"));
    setActionKeys(nextAction, {}, {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    previousAction = shotsMenu->addAction(tr("&Previous Shot"));
    previousAction->setObjectName(QStringLiteral("previousAction"));
    setActionKeys(previousAction, {},
                  {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Enter)});
    for (QAction *action : {nextAction, previousAction})
        action->setShortcutContext(Qt::WindowShortcut);
    // The next shot starts where logging starts: its first field.
    connect(nextAction, &QAction::triggered, this, [this]() {
        savePending();
        if (grid->stepRow(1))
            info->focusFirstField();
    });
    connect(previousAction, &QAction::triggered, this, [this]() {
        savePending();
        if (grid->stepRow(-1))
            info->focusFirstField();
    });

    // Quick tags: Alt+1 ... Alt+9 from anywhere in the window, also while
    // typing in a field (a field takes no Alt+digit of its own).
    shotsMenu->addSeparator();
    QMenu *toggleMenu = shotsMenu->addMenu(tr("T&oggle Tag"));
    toggleMenu->setObjectName(QStringLiteral("toggleTagMenu"));
    for (int key = 1; key <= QuickTags::keyed; ++key) {
        QAction *action = toggleMenu->addAction(QString());
        action->setObjectName(QStringLiteral("tagAction%1").arg(key));
        setActionKeys(action, {}, {QKeySequence(Qt::ALT | Qt::Key(Qt::Key_0 + key))});
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, [this, key]() { toggleTag(key); });
        tagActions << action;
    }
    tagsOffAction = toggleMenu->addAction(tr("No quick tags: ask an administrator to run "
                                            "\"tavelo-sync --setup-database\""));
    tagsOffAction->setObjectName(QStringLiteral("tagsOffAction"));
    tagsOffAction->setEnabled(false);
    tagsAction = shotsMenu->addAction(tr("&Tags..."));
    tagsAction->setObjectName(QStringLiteral("tagsAction"));
    connect(tagsAction, &QAction::triggered, this, &MainWindow::editTags);

    // The changes of the shot shown, beside the form.
    historyDock = new QDockWidget(tr("History"), this);
    historyDock->setObjectName(QStringLiteral("historyDock"));
    historyDock->setWidget(historyPanel);
    historyDock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable);
    addDockWidget(Qt::RightDockWidgetArea, historyDock);
    QAction *historyAction = historyDock->toggleViewAction();
    historyAction->setObjectName(QStringLiteral("historyAction"));
    historyAction->setText(tr("&History"));
    setActionKeys(historyAction, {}, {QKeySequence(Qt::CTRL | Qt::Key_H)});
    shotsMenu->addSeparator();
    shotsMenu->addAction(historyAction);

    countLabel = new QLabel(this);
    countLabel->setObjectName(QStringLiteral("countLabel"));
    // Which project is open, always in sight.
    projectLabel = new QLabel(this);
    projectLabel->setObjectName(QStringLiteral("projectLabel"));
    // A wait for the server that lasts: what it waits for, and Cancel.
    busyLabel = new QLabel(this);
    busyLabel->setObjectName(QStringLiteral("busyLabel"));
    busyCancel = new QPushButton(tr("Cancel"), this);
    busyCancel->setObjectName(QStringLiteral("busyCancelButton"));
    busyCancel->setToolTip(tr("Stop waiting for the server. What was saved stays; what was not stays typed, "
                              "marked as not saved."));
    statusBar()->addPermanentWidget(busyLabel);
    statusBar()->addPermanentWidget(busyCancel);
    statusBar()->addPermanentWidget(countLabel);
    statusBar()->addPermanentWidget(projectLabel);
    busyLabel->hide();
    busyCancel->hide();
    busyTimer = new QTimer(this);
    busyTimer->setInterval(200);
    connect(busyTimer, &QTimer::timeout, this, &MainWindow::updateBusyNote);
    connect(worker, &DbWorker::busyChanged, this, [this](bool busy) {
        if (busy)
            busyTimer->start();
        updateBusyNote();
    });
    connect(busyCancel, &QPushButton::clicked, this, [this]() {
        worker->cancelAll();
        statusBar()->showMessage(tr("Cancelled: what was saved stays; what was not is kept, marked as not "
                                    "saved."),
                                 10000);
    });

    // Ctrl+Z in a field: the field's own undo while it holds typed text,
    // else the window's.
    qApp->installEventFilter(this);
    showCount();
    restoreLayout();
    updateUndoActions();
    updateTagActions();
    show();
}

void MainWindow::buildBrowser()
{
    // Run again by Change Project, on new objects: the grid and the form
    // read their project and bind once; the edits stay the window's.
    grid = new GridWidget(nullptr, edits);
    info = new ShotInfoWidget(this);
    info->setModel(grid->model);
    splitter->insertWidget(0, grid);
    splitter->addWidget(info);
    if (!findBar)
        findBar = new FindBar(this);

    // A click, or moving with the keys, shows that row in the form; the form
    // first saves what the user changed in the shot being left.
    info->follow(grid);
    // The form's poster comes through the grid's fetcher, already decoded.
    connect(info, &ShotInfoWidget::posterWanted, grid, &GridWidget::wantPoster);
    connect(grid, &GridWidget::posterArrived, info, &ShotInfoWidget::showPoster);
    connect(grid->selectionModel(), &QItemSelectionModel::currentRowChanged, historyPanel,
            [this]() { historyPanel->showShot(info->currentShot()); });
    connect(grid->model, &QAbstractItemModel::modelReset, historyPanel,
            [this]() { historyPanel->showShot(info->currentShot()); });

    // Refused writes and clips that cannot be opened are reported in the
    // status bar, one line at a time, never as a stack of boxes.
    connect(grid->model, &ShotTableModel::saveFailed, statusBar(),
            [this](const QString &text) { statusBar()->showMessage(text); });
    connect(grid->model, &ShotTableModel::notice, statusBar(), [this](const QString &text) {
        if (text.isEmpty())
            statusBar()->clearMessage();
        else
            statusBar()->showMessage(text, 10000);
    });
    connect(grid, &GridWidget::message, statusBar(),
            [this](const QString &text) { statusBar()->showMessage(text, 10000); });
    connect(info->frameView(), &StillFrameView::message, statusBar(),
            [this](const QString &text) { statusBar()->showMessage(text, 10000); });
    connect(grid->model, &ShotTableModel::reconnected, statusBar(), [this]() {
        statusBar()->showMessage(tr("The connection to the server was reopened."), 10000);
    });
    connect(grid->model, &ShotTableModel::columnsReady, this, &MainWindow::updateTagActions);
    connect(grid->model, &ShotTableModel::tagsRead, this, &MainWindow::updateTagActions);
    connect(grid->model, &ShotTableModel::selected, this, [this](bool ok) {
        showCount();
        if (ok)
            historyPanel->refresh();
        if (ok && refreshing)
            statusBar()->showMessage(tr("Refreshed"), 3000);
        refreshing = false;
    });
    // After the rows: the values used for completion, and whether the
    // history is kept, are read once the grid shows the shots.
    connect(
        grid->model, &ShotTableModel::selected, this,
        [this]() {
            // The history check first: it is one quick statement that says
            // whether Undo works, while the completions read the project.
            edits->checkHistory();
            grid->model->readCompletions();
        },
        Qt::SingleShotConnection);
    restoreProjectLayout();
}

void MainWindow::updateUndoActions()
{
    const bool missing = edits->history() == ShotEdits::History::Missing;
    undoAction->setEnabled(!missing);
    redoAction->setEnabled(!missing);
    historyOffAction->setVisible(missing);
    undoAction->setToolTip(edits->canUndo() ? tr("Undo your last change") : tr("Nothing of yours to undo"));
}

void MainWindow::undo(bool redo)
{
    // A cell editor or a form field holding typed text undoes its typing.
    QWidget *focus = QApplication::focusWidget();
    if (focus && isAncestorOf(focus) && undoAvailable(focus, redo)
        && (grid->isAncestorOf(focus) || info->fieldHoldsTyping(focus))) {
        undoIn(focus, redo);
        return;
    }
    savePending();
    if (redo ? !edits->canRedo() : !edits->canUndo()) {
        statusBar()->showMessage(redo ? tr("Nothing to redo.") : tr("Nothing of yours to undo in this window."),
                                 5000);
        return;
    }
    revertShown(redo, false);
}

bool MainWindow::shotInView(qlonglong shot) const
{
    const int row = grid->model->rowOfId(shot);
    if (row < 0 || grid->isRowHidden(row))
        return false;
    const int top = grid->rowViewportPosition(row);
    return top + grid->rowHeight(row) > 0 && top < grid->viewport()->height();
}

void MainWindow::makeCurrent(qlonglong shot)
{
    const int row = grid->model->rowOfId(shot);
    if (row < 0)
        return;
    int column = grid->currentIndex().isValid() ? grid->currentIndex().column()
                                                : grid->horizontalHeader()->logicalIndex(0);
    if (grid->isColumnHidden(column))
        column = grid->horizontalHeader()->logicalIndex(0);
    const QModelIndex index = grid->model->index(row, column);
    grid->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    grid->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void MainWindow::revertShown(bool redo, bool findCleared)
{
    const ShotEdits::Touched next = redo ? edits->nextRedo() : edits->nextUndo();
    if (!next.changeSet)
        return;
    auto revert = [this, redo, &next]() { redo ? edits->redo(next.changeSet) : edits->undo(next.changeSet); };
    // The user sees what is taken back: a shot of the change in the grid's
    // view is enough (a change of which nothing is known goes ahead).
    if (next.shots.isEmpty() || std::any_of(next.shots.cbegin(), next.shots.cend(),
                                            [this](qlonglong shot) { return shotInView(shot); })) {
        revert();
        return;
    }
    qlonglong shown = 0;
    for (qlonglong shot : next.shots) {
        if (grid->model->rowOfId(shot) >= 0) {
            shown = shot;
            break;
        }
    }
    if (!shown && !findCleared && (!findBar->text().isEmpty() || findBar->notYetLogged())) {
        // The find hides the shots: it is cleared, and the undo goes on once
        // the rows are in (or says why not).
        revealFor = next.changeSet;
        statusBar()->showMessage(tr("The find is cleared to show shot %1 first...").arg(next.shots.first()));
        connect(
            grid->model, &ShotTableModel::selected, this,
            [this, redo, set = next.changeSet](bool ok) {
                if (revealFor != set)
                    return;
                revealFor = 0;
                const ShotEdits::Touched again = redo ? edits->nextRedo() : edits->nextUndo();
                if (!ok || again.changeSet != set) {
                    statusBar()->showMessage(redo ? tr("Nothing was redone: the shots could not be shown first.")
                                                  : tr("Nothing was undone: the shots could not be shown first."),
                                             10000);
                    return;
                }
                revertShown(redo, true);
            },
            Qt::SingleShotConnection);
        findBar->clear();
        grid->setFind(QString(), false);
        return;
    }

    QString where;
    if (shown) {
        makeCurrent(shown);
        if (next.shots.size() == 1)
            where = findCleared ? tr("The find hid it; the find is cleared and the shot is the current one now.")
                                : tr("It was not in view; it is the current shot now.");
        else
            where = findCleared
                ? tr("The find hid them; the find is cleared and shot %1, one of them, is the current one now.").arg(shown)
                : tr("None of them was in view; shot %1, one of them, is the current shot now.").arg(shown);
    } else {
        where = next.shots.size() == 1
            ? tr("The shot is not among the shots shown (it may belong to another project), so it cannot be "
                 "shown first.")
            : tr("None of them is among the shots shown (they may belong to another project), so they cannot "
                 "be shown first.");
    }
    ShotEdits::Touched named = next;
    if (named.filename.isEmpty() && named.shots.size() == 1 && shown) {
        const int row = grid->model->rowOfId(shown);
        named.filename = grid->model->storedValue(row, grid->model->fieldIndex(QStringLiteral("filename"))).toString();
    }
    const QString verb = redo ? tr("Redo") : tr("Undo");
    QMessageBox question(QMessageBox::Question, verb,
                         tr("%1 %2?").arg(verb, ShotEdits::describe(named)), QMessageBox::Cancel, this);
    question.setObjectName(QStringLiteral("revertQuestion"));
    question.setInformativeText(where);
    QPushButton *go = question.addButton(verb, QMessageBox::AcceptRole);
    question.setDefaultButton(go);
    question.exec();
    if (question.clickedButton() != go) {
        statusBar()->showMessage(redo ? tr("Nothing was redone.") : tr("Nothing was undone."), 5000);
        return;
    }
    revert();
}

void MainWindow::updateTagActions()
{
    if (tagActions.isEmpty())
        return;
    const bool known = grid->model->hasColumns();
    const bool on = grid->model->hasTags();
    const QStringList tags = grid->model->projectTags();
    for (int i = 0; i < tagActions.size(); ++i) {
        QString tag = i < tags.size() ? tags.at(i) : QString();
        tag.replace(QLatin1Char('&'), QStringLiteral("&&"));
        tagActions.at(i)->setText(tag.isEmpty() ? tr("Tag %1 (none)").arg(i + 1)
                                                : QStringLiteral("&%1 %2").arg(i + 1).arg(tag));
    }
    tagsOffAction->setVisible(known && !on);
    tagsAction->setEnabled(on);
}

void MainWindow::toggleTag(int key)
{
    if (!grid->model->hasColumns())
        return;
    if (!grid->model->hasTags()) {
        statusBar()->showMessage(tr("Quick tags are off: the database has no tables shot_tags and project_tags. "
                                    "An administrator turns them on with tavelo-sync --setup-database."),
                                 10000);
        return;
    }
    const QStringList tags = grid->model->projectTags();
    if (key > tags.size()) {
        statusBar()->showMessage(tr("No tag has the key Alt+%1: Shots > Tags... adds one.").arg(key), 5000);
        return;
    }
    if (!info->toggleTag(key))
        statusBar()->showMessage(tr("No shot to tag."), 5000);
}

void MainWindow::editTags()
{
    if (!grid->model->hasTags())
        return;
    TagsDialog dialog(grid->model->projectTags(), this);
    if (dialog.exec() == QDialog::Accepted && dialog.tags() != grid->model->projectTags())
        grid->model->storeProjectTags(dialog.tags());
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride && grid) {
        auto *key = static_cast<QKeyEvent *>(event);
        const bool isUndo = key->matches(QKeySequence::Undo);
        const bool isRedo = key->matches(QKeySequence::Redo);
        auto *widget = qobject_cast<QWidget *>(watched);
        if ((isUndo || isRedo) && widget && isAncestorOf(widget)
            && !(undoAvailable(widget, isRedo) && (grid->isAncestorOf(widget) || info->fieldHoldsTyping(widget)))) {
            // Nothing typed to take back here: the window's Undo takes the key.
            event->ignore();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::updateBusyNote()
{
    if (!worker->isBusy()) {
        busyTimer->stop();
        busyLabel->hide();
        busyCancel->hide();
        return;
    }
    const qint64 waited = worker->runningForMs();
    if (waited < busyNoteAfterMs)
        return;
    QString what = worker->runningWhat();
    const QString done = edits->progress();
    if (!done.isEmpty())
        what += QStringLiteral(", ") + done;
    busyLabel->setText(tr("Waiting for the server%1 (%2 s)...")
                           .arg(what.isEmpty() ? QString() : QStringLiteral(": ") + what)
                           .arg(waited / 1000));
    busyLabel->show();
    busyCancel->show();
}

void MainWindow::savePending()
{
    if (grid)
        grid->commitOpenEditor();
    if (info)
        info->saveChanges();
}

bool MainWindow::saveAndWait()
{
    savePending();
    edits->saveAll();
    // Only what writes is waited for: a read (the rows, the history check)
    // is of no use to a window that closes.
    if (!edits->isSaving())
        return true;
    // The window stays live meanwhile: it paints, and the busy note's
    // Cancel ends the wait.
    QEventLoop wait;
    connect(edits, &ShotEdits::savingChanged, &wait, [&wait](bool saving) {
        if (!saving)
            wait.quit();
    });
    statusBar()->showMessage(tr("Saving your changes..."));
    wait.exec();
    return true;
}

bool MainWindow::settleUnsaved(const QString &title, bool offerKeep)
{
    const QStringList fields = info ? info->unsavedFields() : QStringList();
    const int conflicts = int(edits->conflicts().size());
    if (fields.isEmpty() && conflicts == 0)
        return true;
    QStringList what;
    if (!fields.isEmpty())
        what << tr("not saved: %1").arg(fields.join(QStringLiteral(", ")));
    if (conflicts > 0)
        what << (conflicts == 1 ? tr("1 change of another client waiting for your choice")
                                : tr("%1 changes of another client waiting for your choice").arg(conflicts));
    QString text = tr("Some of your values are not in the database (%1).").arg(what.join(QStringLiteral("; ")));
    text += offerKeep ? tr("\n\nKeep them for when this project is shown again, or discard them?")
                      : tr("\n\nDiscard them and close the window?");
    QMessageBox question(QMessageBox::Warning, title, text, QMessageBox::Discard | QMessageBox::Cancel, this);
    QPushButton *keep = offerKeep ? question.addButton(tr("Keep Them"), QMessageBox::AcceptRole) : nullptr;
    if (keep)
        question.setDefaultButton(keep);
    else
        question.setDefaultButton(QMessageBox::Cancel);
    question.exec();
    if (keep && question.clickedButton() == keep)
        return true;
    if (question.clickedButton() != question.button(QMessageBox::Discard))
        return false;
    edits->discardAll();
    return true;
}

void MainWindow::changeProject()
{
    // What is typed is saved first; what the database does not take (or
    // another client's change waiting for a choice) is kept or discarded
    // as the user says.
    if (closing)
        return;
    saveAndWait();
    if (!settleUnsaved(tr("Change Project"), true))
        return;
    ProjectSelector chooser(this);
    // That button ends the client when its window closes.
    chooser.setTranscodeAvailable(false);
    if (chooser.exec() != QDialog::Accepted)
        return;

    saveProjectLayout();
    const QByteArray split = splitter->saveState();
    GridWidget *oldGrid = grid;
    ShotInfoWidget *oldInfo = info;
    ShotTableModel *oldModel = grid->model;
    oldGrid->hide();
    oldInfo->hide();
    oldGrid->setParent(nullptr);
    oldInfo->setParent(nullptr);
    findBar->clear();
    buildBrowser();
    splitter->restoreState(split);
    oldGrid->deleteLater();
    oldInfo->deleteLater();
    oldModel->deleteLater();
    showCount();
    historyPanel->showShot(0);
    statusBar()->clearMessage();
}

void MainWindow::exportShots()
{
    if (exporting)
        return;
    savePending();
    // The toolkit's own dialog, so it looks the same everywhere (and a
    // test can answer it).
    QFileDialog dialog(this, tr("Export Shots"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(tr("CSV files (*.csv)"));
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    // "<project> shots.csv" in the documents folder.
    QString name = grid->model->projectName();
    name.replace(QRegularExpression(QStringLiteral("[/\\\\:*?\"<>|]")), QStringLiteral("_"));
    dialog.setDirectory(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    dialog.selectFile(name.isEmpty() ? tr("shots.csv") : tr("%1 shots.csv").arg(name));
    // What goes in: the columns as the grid shows them, or the whole table;
    // and the mark spreadsheet programs need to read UTF-8.
    auto *allColumns = new QCheckBox(tr("Include all columns"), &dialog);
    allColumns->setObjectName(QStringLiteral("allColumnsBox"));
    allColumns->setToolTip(tr("Every column of the table under its name, digests included, instead of the "
                              "columns shown in the grid's order"));
    auto *forSpreadsheets = new QCheckBox(tr("For spreadsheets (UTF-8 with byte-order mark)"), &dialog);
    forSpreadsheets->setObjectName(QStringLiteral("forSpreadsheetsBox"));
    forSpreadsheets->setChecked(true);
    if (auto *layout = qobject_cast<QGridLayout *>(dialog.layout())) {
        const int row = layout->rowCount();
        layout->addWidget(allColumns, row, 0, 1, -1);
        layout->addWidget(forSpreadsheets, row + 1, 0, 1, -1);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().constFirst();
    // The rows as shown now, written off the GUI thread: a large project
    // takes a second or more, and the window goes on meanwhile.
    QList<int> columns;
    if (!allColumns->isChecked()) {
        QHeaderView *header = grid->horizontalHeader();
        for (int visual = 0; visual < header->count(); ++visual) {
            const int column = header->logicalIndex(visual);
            // The poster is a picture, not a value.
            if (!grid->isColumnHidden(column) && ShotColumns::isExported(grid->model->columnName(column)))
                columns << column;
        }
    }
    ShotExport snapshot = exportOfShownShots(grid->model, columns);
    snapshot.byteOrderMark = forSpreadsheets->isChecked();
    exporting = true;
    exportAction->setEnabled(false);
    statusBar()->showMessage(snapshot.rows.size() == 1 ? tr("Exporting 1 shot...")
                                                       : tr("Exporting %1 shots...").arg(snapshot.rows.size()));
    auto *watcher = new QFutureWatcher<Csv::Result>(this);
    connect(watcher, &QFutureWatcher<Csv::Result>::finished, this, [this, watcher, path]() {
        const Csv::Result result = watcher->result();
        watcher->deleteLater();
        exporting = false;
        exportAction->setEnabled(true);
        if (!result.ok) {
            statusBar()->showMessage(tr("Export failed."), 10000);
            QMessageBox::warning(this, tr("Export Shots"), result.error);
            return;
        }
        const QString rows = result.rows == 1 ? tr("1 row") : tr("%1 rows").arg(result.rows);
        statusBar()->showMessage(tr("Exported: %1 written to %2.").arg(rows, QDir::toNativeSeparators(path)), 10000);
    });
    watcher->setFuture(QtConcurrent::run([snapshot, path]() { return snapshot.write(path); }));
}

void MainWindow::openTranscode()
{
    // The clips as the shots hold them, in grid order: those of the rows
    // with a selected cell, and those of every row the find shows.
    ShotClips shots;
    const ShotTableModel *model = grid->model;
    const int column = model->fieldIndex(QStringLiteral("filename"));
    if (column >= 0) {
        QList<bool> selected(model->rowCount(), false);
        const QItemSelection selection = grid->selectionModel()->selection();
        for (const QItemSelectionRange &range : selection) {
            for (int row = range.top(); row <= range.bottom() && row < selected.size(); ++row)
                selected[row] = true;
        }
        for (int row = 0; row < model->rowCount(); ++row) {
            const QString clip = model->storedValue(row, column).toString();
            if (clip.isEmpty())
                continue;
            shots.found << clip;
            if (selected.at(row))
                shots.selected << clip;
        }
    }
    if (!transcodeWindow) {
        transcodeWindow = new TranscodeDialog(shots);
    } else {
        transcodeWindow->offerShots(shots);
        transcodeWindow->show();
    }
    transcodeWindow->raise();
    transcodeWindow->activateWindow();
}

void MainWindow::restoreLayout()
{
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    // Each part on its own: a damaged value costs that part only, and the
    // window keeps its default for it.
    restoreGeometry(store.value(LayoutKeys::windowGeometry).toByteArray());
    restoreState(store.value(LayoutKeys::windowState).toByteArray());
    splitter->restoreState(store.value(LayoutKeys::splitterState).toByteArray());
}

void MainWindow::restoreProjectLayout()
{
    // The project's own layout; a project shown for the first time starts
    // from the layout used last.
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    const int project = grid->projectId();
    QByteArray header = store.value(QString::fromLatin1(LayoutKeys::projectHeaderState).arg(project)).toByteArray();
    QString sortColumn = store.value(QString::fromLatin1(LayoutKeys::projectSortColumn).arg(project)).toString();
    int sortOrder = store.value(QString::fromLatin1(LayoutKeys::projectSortOrder).arg(project)).toInt();
    if (header.isEmpty()) {
        header = store.value(LayoutKeys::gridHeaderState).toByteArray();
        sortColumn = store.value(LayoutKeys::gridSortColumn).toString();
        sortOrder = store.value(LayoutKeys::gridSortOrder).toInt();
    }
    grid->setStartSort(sortColumn, sortOrder == Qt::DescendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
    grid->setHeaderState(header);
    grid->setStartShot(store.value(QString::fromLatin1(LayoutKeys::projectCurrentShot).arg(project)));
}

void MainWindow::saveProjectLayout()
{
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    const int project = grid->projectId();
    const QByteArray header = grid->headerState();
    store.setValue(LayoutKeys::gridHeaderState, header);
    store.setValue(QString::fromLatin1(LayoutKeys::projectHeaderState).arg(project), header);
    if (grid->model->hasColumns()) {
        const QString sortColumn = grid->model->sortColumnName();
        const int sortOrder = int(grid->model->sortOrder());
        store.setValue(LayoutKeys::gridSortColumn, sortColumn);
        store.setValue(LayoutKeys::gridSortOrder, sortOrder);
        store.setValue(QString::fromLatin1(LayoutKeys::projectSortColumn).arg(project), sortColumn);
        store.setValue(QString::fromLatin1(LayoutKeys::projectSortOrder).arg(project), sortOrder);
    }
    const qlonglong shot = info->currentShot();
    if (shot)
        store.setValue(QString::fromLatin1(LayoutKeys::projectCurrentShot).arg(project), shot);
    store.sync();
}

void MainWindow::saveLayout()
{
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    store.setValue(LayoutKeys::windowGeometry, saveGeometry());
    store.setValue(LayoutKeys::windowState, saveState());
    store.setValue(LayoutKeys::splitterState, splitter->saveState());
    store.sync();
    saveProjectLayout();
}

void MainWindow::showCount()
{
    const int shown = grid->model->rowCount();
    const int total = grid->projectShotCount();
    countLabel->setText(total < 0 ? tr("%1 shots").arg(shown) : tr("%1 of %2 shots").arg(shown).arg(total));
    const QString name = grid->model->projectName();
    projectLabel->setText(name.isEmpty() ? QString() : tr("Project: %1").arg(name));
    info->setNoShotHint(total == 0 ? tr("This project has no shots yet. Use Sync Project in the "
                                        "project chooser (File > Change Project...) to list its "
                                        "clips.")
                        : grid->model->isBusy() && shown == 0
                        ? tr("Reading the shots...")
                        : tr("No shot matches the find field. Press Escape there to "
                             "show every shot."));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The destructor ends the process without tearing anything down, so what
    // is still typed in a cell or in the form is saved now, and the window
    // waits for the saves (live, with Cancel). What the database does not
    // take (and another client's changes still waiting for the user's
    // choice) is discarded only after one question.
    if (closing || !grid) {
        if (!grid)
            QMainWindow::closeEvent(event);
        else
            event->ignore();
        return;
    }
    closing = true;
    saveAndWait();
    closing = false;
    if (!settleUnsaved(tr("Unsaved Values"), false)) {
        event->ignore();
        return;
    }
    // Here and not in the destructor, which ends the process.
    saveLayout();
    QMainWindow::closeEvent(event);
}

MainWindow::~MainWindow()
{
    delete ui;
    // The process ends here, before the window and its children are torn
    // down: nothing is saved at exit, and every path leaves with status 0.
    endProcess(0);
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}

bool anyTopLevelWindowVisible()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget *window : windows) {
        if (window->isVisible())
            return true;
    }
    return false;
}
