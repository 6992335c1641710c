#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/layoutkeys.h"
#include "db/connectionsettings.h"
#include "db/logindialog.h"
#include "projects/projectselector.h"
#include "shots/csvexport.h"
#include "shots/findbar.h"
#include "shots/gridwidget.h"
#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"
#include "shots/stillframeview.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QDataWidgetMapper>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QSettings>
#include <QToolBar>
#include <QSplitter>
#include <QSplitterHandle>
#include <QStatusBar>

#include <cstdlib>

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

    splitter->setOrientation(Qt::Vertical);
    setCentralWidget(splitter);
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
    changeProjectAction = fileMenu->addAction(tr("&Change Project..."));
    changeProjectAction->setObjectName(QStringLiteral("changeProjectAction"));
    connect(changeProjectAction, &QAction::triggered, this, &MainWindow::changeProject);

    // Others edit the same project: Refresh reads every row again and
    // keeps the user's place and what they are typing.
    QMenu *shotsMenu = menuBar()->addMenu(tr("&Shots"));
    shotsMenu->setObjectName(QStringLiteral("shotsMenu"));
    refreshAction = shotsMenu->addAction(tr("&Refresh"));
    refreshAction->setObjectName(QStringLiteral("refreshAction"));
    refreshAction->setShortcut(QKeySequence(Qt::Key_F5));
    refreshAction->setShortcutContext(Qt::WindowShortcut);
    connect(refreshAction, &QAction::triggered, this, [this]() { grid->update_request(); });

    // Find: the words typed narrow the rows on the server; the status bar
    // says how many of the project's shots are shown.
    ui->mainToolBar->addWidget(findBar);
    ui->mainToolBar->setMovable(false);
    findAction = shotsMenu->addAction(tr("&Find..."));
    findAction->setObjectName(QStringLiteral("findAction"));
    findAction->setShortcut(QKeySequence::Find);
    findAction->setShortcutContext(Qt::WindowShortcut);
    connect(findAction, &QAction::triggered, findBar, &FindBar::focusFind);
    connect(findBar, &FindBar::findChanged, this,
            [this](const QString &text, bool notYetLogged) { grid->setFind(text, notYetLogged); });

    // Logging from the keyboard: save the form and go on to the next (or
    // previous) shot, the cursor staying in the field being filled in.
    shotsMenu->addSeparator();
    nextAction = shotsMenu->addAction(tr("&Next Shot"));
    nextAction->setObjectName(QStringLiteral("nextAction"));
    nextAction->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    previousAction = shotsMenu->addAction(tr("&Previous Shot"));
    previousAction->setObjectName(QStringLiteral("previousAction"));
    previousAction->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return),
                                  QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Enter)});
    for (QAction *action : {nextAction, previousAction})
        action->setShortcutContext(Qt::WindowShortcut);
    connect(nextAction, &QAction::triggered, this, [this]() {
        savePending();
        grid->stepRow(1);
    });
    connect(previousAction, &QAction::triggered, this, [this]() {
        savePending();
        grid->stepRow(-1);
    });
    countLabel = new QLabel(this);
    countLabel->setObjectName(QStringLiteral("countLabel"));
    statusBar()->addPermanentWidget(countLabel);
    showCount();
    restoreLayout();
    show();
}

void MainWindow::buildBrowser()
{
    // Run again by Change Project, on new objects: the grid and the form
    // read their project and bind once.
    grid = new GridWidget(nullptr);
    info = new ShotInfoWidget(this);
    info->setModel(grid->model);
    splitter->insertWidget(0, grid);
    splitter->addWidget(info);
    if (!findBar)
        findBar = new FindBar(this);

    // A click, or moving with the keys, shows that row in the form; the form
    // first writes what the user changed in the row being left. The model
    // writes every change itself, one row at a time, so nothing is
    // submitted from here and no change re-reads the whole table.
    info->follow(grid);

    // Refused writes and clips that cannot be opened are reported in the
    // status bar, one line at a time, never as a stack of boxes.
    connect(grid->model, &ShotTableModel::saveFailed, statusBar(),
            [this](const QString &text) { statusBar()->showMessage(text); });
    connect(grid->model, &ShotTableModel::rowSaved, statusBar(),
            [this]() { statusBar()->clearMessage(); });
    connect(grid, &GridWidget::message, statusBar(),
            [this](const QString &text) { statusBar()->showMessage(text, 10000); });
    connect(info->frameView(), &StillFrameView::message, statusBar(),
            [this](const QString &text) { statusBar()->showMessage(text, 10000); });
    connect(grid->model, &ShotTableModel::reconnected, statusBar(), [this]() {
        statusBar()->showMessage(tr("The connection to the server was reopened and the shots "
                                    "read again."),
                                 10000);
    });
    connect(grid->model, &QAbstractItemModel::modelReset, this, &MainWindow::showCount);
}

void MainWindow::changeProject()
{
    // Pending edits are saved first; what the database does not take (or
    // another client's change waiting for a choice) keeps the project open.
    savePending();
    if (!info->unsavedFields().isEmpty() || !grid->model->conflicts().isEmpty()) {
        QMessageBox::information(this, tr("Change Project"),
                                 tr("Some of your values are not in the database yet. Save or "
                                    "discard them (the bars above the form) before changing the "
                                    "project."));
        return;
    }
    ProjectSelector chooser(this);
    // That button ends the client when its window closes.
    chooser.setTranscodeAvailable(false);
    if (chooser.exec() != QDialog::Accepted)
        return;

    const QByteArray header = grid->horizontalHeader()->saveState();
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
    grid->horizontalHeader()->restoreState(header);
    grid->hideColumn(1);
    grid->sortByColumn(grid->horizontalHeader()->sortIndicatorSection(),
                       grid->horizontalHeader()->sortIndicatorOrder());
    oldGrid->deleteLater();
    oldInfo->deleteLater();
    oldModel->deleteLater();
    showCount();
    statusBar()->clearMessage();
}

void MainWindow::savePending()
{
    if (grid)
        grid->commitOpenEditor();
    if (info)
        info->saveChanges();
}

void MainWindow::exportShots()
{
    savePending();
    // The toolkit's own dialog, so it looks the same everywhere (and a
    // test can answer it).
    QFileDialog dialog(this, tr("Export Shots"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(tr("CSV files (*.csv)"));
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.selectFile(QStringLiteral("shots.csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().constFirst();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const Csv::Result result = exportShownShots(grid->model, path);
    QApplication::restoreOverrideCursor();
    if (!result.ok) {
        statusBar()->showMessage(tr("Export failed."), 10000);
        QMessageBox::warning(this, tr("Export Shots"), result.error);
        return;
    }
    const QString rows = result.rows == 1 ? tr("1 row") : tr("%1 rows").arg(result.rows);
    statusBar()->showMessage(tr("Exported: %1 written to %2.").arg(rows, QDir::toNativeSeparators(path)),
                             10000);
}

void MainWindow::restoreLayout()
{
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    // Each part on its own: a damaged value costs that part only, and the
    // window keeps its default for it.
    restoreGeometry(store.value(LayoutKeys::windowGeometry).toByteArray());
    splitter->restoreState(store.value(LayoutKeys::splitterState).toByteArray());
    const QByteArray header = store.value(LayoutKeys::gridHeaderState).toByteArray();
    if (!header.isEmpty() && grid->horizontalHeader()->restoreState(header)) {
        // project stays hidden whatever was stored, and a stored sort
        // only takes effect through the model.
        grid->hideColumn(1);
        grid->sortByColumn(grid->horizontalHeader()->sortIndicatorSection(),
                           grid->horizontalHeader()->sortIndicatorOrder());
    }
}

void MainWindow::saveLayout()
{
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    store.setValue(LayoutKeys::windowGeometry, saveGeometry());
    store.setValue(LayoutKeys::splitterState, splitter->saveState());
    store.setValue(LayoutKeys::gridHeaderState, grid->horizontalHeader()->saveState());
    store.sync();
}

void MainWindow::showCount()
{
    // The driver reports the size of the whole result, so rowCount() is
    // every row shown, not only those fetched so far.
    const int shown = grid->model->rowCount();
    const int total = grid->projectShotCount();
    countLabel->setText(total < 0 ? tr("%1 shots").arg(shown) : tr("%1 of %2 shots").arg(shown).arg(total));
    info->setNoShotHint(total == 0 ? tr("This project has no shots yet. Use Sync Project in the "
                                        "project chooser (File > Change Project...) to list its "
                                        "clips.")
                                   : tr("No shot matches the find field. Press Escape there to "
                                        "show every shot."));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The destructor ends the process without tearing anything down, so what
    // is still typed in a cell or in the form is written now. What the
    // database does not take (and another client's changes still waiting
    // for the user's choice) is discarded only after one question.
    // A server that did not answer the cell's save is not asked again for
    // the form's: the window is blocked for one limit at most.
    bool serverAnswers = true;
    if (grid && !grid->commitOpenEditor()) {
        const StatementFailure failure = grid->model->lastFailure();
        serverAnswers = failure != StatementFailure::TimedOut && failure != StatementFailure::ConnectionLost;
    }
    if (info && serverAnswers)
        info->saveChanges();
    const QStringList fields = info ? info->unsavedFields() : QStringList();
    const int conflicts = grid ? grid->model->conflicts().size() : 0;
    if (!fields.isEmpty() || conflicts > 0) {
        QStringList what;
        if (!fields.isEmpty())
            what << tr("not saved: %1").arg(fields.join(QStringLiteral(", ")));
        if (conflicts > 0)
            what << tr("%n change(s) of another client waiting for your choice", nullptr, conflicts);
        QMessageBox question(QMessageBox::Warning, tr("Unsaved Values"),
                             tr("Some of your values are not in the database (%1).\n\n"
                                "Discard them and close the window?")
                                 .arg(what.join(QStringLiteral("; "))),
                             QMessageBox::Discard | QMessageBox::Cancel, this);
        question.setDefaultButton(QMessageBox::Cancel);
        if (question.exec() != QMessageBox::Discard) {
            event->ignore();
            return;
        }
        info->discardChanges();
        grid->model->dropConflicts();
    }
    // Here and not in the destructor, which ends the process.
    if (grid)
        saveLayout();
    QMainWindow::closeEvent(event);
}

MainWindow::~MainWindow()
{
    delete ui;
    // The process ends here, before the window and its children are torn
    // down: nothing is saved at exit, and every path leaves with status 0.
    std::exit(0);
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
