#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "db/logindialog.h"
#include "projects/projectselector.h"

#include <QApplication>
#include <QEvent>
#include <QSplitter>

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
    show();
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
