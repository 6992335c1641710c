#include "app/logindialog.h"

#include "app/clientstate.h"
#include "db/connectionsettings.h"
#include "files/clipfinder.h"
#include "transcode/transcodedialog.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>

LoginDialog::LoginDialog(QWidget *parent)
    : QDialog(parent)
{
    formLayout = new QFormLayout;
    serverEdit = new QLineEdit;
    databaseEdit = new QLineEdit;
    userNameEdit = new QLineEdit;
    passwordEdit = new QLineEdit;
    rootPathEdit = new QLineEdit;
    passwordEdit->setEchoMode(QLineEdit::PasswordEchoOnEdit);

    okButton = new QPushButton(tr("&OK"));
    cancelButton = new QPushButton(tr("&Cancel"));
    browseButton = new QPushButton(tr("&Browse"));
    transcodeButton = new QPushButton(tr("Offline &Transcode"));
    okButton->setDefault(true);

    settings = new QSettings(ConnectionKeys::organisation, ConnectionKeys::application);
    serverEdit->setText(settings->value(ConnectionKeys::server, QVariant()).toString());
    databaseEdit->setText(settings->value(ConnectionKeys::database, QVariant()).toString());
    userNameEdit->setText(settings->value(ConnectionKeys::userName, QVariant()).toString());
    passwordEdit->setText(settings->value(ConnectionKeys::password, QVariant()).toString());
    rootPathEdit->setText(settings->value(ConnectionKeys::rootPath, QVariant()).toString());

    formLayout->addRow(tr("&Server:"), serverEdit);
    formLayout->addRow(tr("&Database:"), databaseEdit);
    formLayout->addRow(tr("&User Name:"), userNameEdit);
    formLayout->addRow(tr("&Password:"), passwordEdit);
    formLayout->addRow(tr("&Local Root Path"), rootPathEdit);
    formLayout->addWidget(browseButton);
    formLayout->addWidget(transcodeButton);
    formLayout->addWidget(okButton);
    formLayout->addWidget(cancelButton);

    setLayout(formLayout);
    okButton->setDefault(true);

    connect(okButton, &QPushButton::clicked, this, &LoginDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &LoginDialog::reject);
    connect(browseButton, &QPushButton::clicked, this, &LoginDialog::doBrowse);
    connect(transcodeButton, &QPushButton::clicked, this, &LoginDialog::doTranscode);

    serverEdit->setObjectName("serverEdit");
    databaseEdit->setObjectName("databaseEdit");
    userNameEdit->setObjectName("userNameEdit");
    passwordEdit->setObjectName("passwordEdit");
    rootPathEdit->setObjectName("rootPathEdit");
    okButton->setObjectName("okButton");
    cancelButton->setObjectName("cancelButton");
    browseButton->setObjectName("browseButton");
    transcodeButton->setObjectName("transcodeButton");
}

LoginDialog::~LoginDialog()
{
    delete settings;
}

bool LoginDialog::checkRootPath()
{
    const QString problem = ClipFinder::rootProblem(rootPathEdit->text());
    if (problem.isEmpty())
        return true;
    warnAboutRoot(problem);
    return false;
}

void LoginDialog::warnAboutRoot(const QString &problem)
{
    QMessageBox::warning(this, tr("Local Root Path"),
                         problem + QLatin1Char('\n')
                             + tr("Choose the folder that holds the project's raw folder with "
                                  "\"Browse\", or type its path, then try again."));
    rootPathEdit->setFocus();
}

bool LoginDialog::enterRootPath()
{
    ClientState *state = ClientState::instance();
    const QDir start = QDir::current();
    if (!QDir::setCurrent(rootPathEdit->text())) {
        const QString problem = ClipFinder::rootProblem(rootPathEdit->text());
        warnAboutRoot(problem.isEmpty() ? tr("The local root \"%1\" could not be made the current folder.")
                                              .arg(QDir::toNativeSeparators(rootPathEdit->text()))
                                        : problem);
        return false;
    }
    state->startDir = new QDir(start);
    return true;
}

void LoginDialog::accept()
{
    if (!checkRootPath())
        return;
    const ServerAddress address = parseServerAddress(serverEdit->text());
    if (!address.isValid()) {
        QMessageBox::warning(this, tr("Server"),
                             tr("The server \"%1\" cannot be used: %2\n"
                                "Give a host name, host:port, [IPv6 address]:port or the path of a "
                                "local socket.")
                                 .arg(serverEdit->text(), address.error));
        serverEdit->setFocus();
        return;
    }

    okButton->setEnabled(false);
    okButton->setText("Logging In...");
    QEventLoop loop;
    loop.processEvents(QEventLoop::AllEvents);

    ConnectionSettings values;
    values.server = serverEdit->text();
    values.database = databaseEdit->text();
    values.userName = userNameEdit->text();
    values.password = passwordEdit->text();
    values.rootPath = rootPathEdit->text();
    if (!values.save())
        qWarning() << "The connection settings could not be stored.";

    QSqlDatabase db = QSqlDatabase::addDatabase("QMYSQL", QSqlDatabase::defaultConnection);
    applyServerAddress(db, serverEdit->text());
    db.setDatabaseName(databaseEdit->text());
    db.setUserName(userNameEdit->text());
    db.setPassword(passwordEdit->text());

    ClientState *state = ClientState::instance();
    state->connected = db.open() ? 1 : 0;
    if (!enterRootPath()) {
        // The root went away between the check and now: no window may work
        // below whatever folder happens to be current.
        state->connected = 0;
        db.close();
        QDialog::reject();
        return;
    }

    if (state->connected == 1) {
        QDialog::accept();
        return;
    }
    QMessageBox::warning(this, tr(dbNoticeTitle), tr(dbNoticeText) + db.lastError().text(),
                         QMessageBox::Ok, QMessageBox::NoButton);
    QDialog::reject();
}

void LoginDialog::doBrowse()
{
    // A cancelled chooser keeps what the field held rather than emptying it.
    const QString chosen = QFileDialog::getExistingDirectory(this, tr("Select Local Project Root"),
                                                             rootPathEdit->text(), QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        rootPathEdit->setText(chosen);
}

void LoginDialog::doTranscode()
{
    if (!checkRootPath())
        return;
    QDialog::reject();
    if (enterRootPath())
        new TranscodeDialog;
}
