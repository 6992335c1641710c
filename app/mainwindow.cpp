#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "db/logindialog.h"
#include "projects/projectselector.h"
#include "shots/gridwidget.h"
#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"
#include "shots/stillframeview.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDataWidgetMapper>
#include <QEvent>
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

    grid = new GridWidget(nullptr);
    info = new ShotInfoWidget(this);
    info->setModel(grid->model);
    splitter->setOrientation(Qt::Vertical);
    setCentralWidget(splitter);
    splitter->addWidget(grid);
    handle = new QSplitterHandle(Qt::Vertical, splitter);
    handle->setFixedHeight(4);
    splitter->addWidget(handle);
    splitter->addWidget(info);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(2, 2);

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
    show();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The destructor ends the process without tearing anything down, so what
    // is still typed in a cell or in the form is written now. When the
    // database refuses it, the window stays open with the reason in the
    // status bar instead of vanishing with the edit unsaved.
    bool saved = grid ? grid->commitOpenEditor() : true;
    if (info)
        saved = info->saveChanges() && saved;
    if (!saved) {
        event->ignore();
        return;
    }
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
