#pragma once

#include <QDialog>

class QFormLayout;
class QLineEdit;
class QPushButton;
class QSettings;

// The first window: shows the stored connection settings, stores what the
// user confirms and opens the client's one database connection. "Offline
// &Transcode" leaves it for a transcode window without any database.
class LoginDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LoginDialog(QWidget *parent = nullptr);
    ~LoginDialog() override;

    void accept() override;

public slots:
    void doBrowse();
    void doTranscode();

private:
    // Checks the local root before anything else happens; warns and returns
    // false when it is not an existing folder that can be entered and listed.
    bool checkRootPath();
    // Records the start directory and makes the local root current; warns
    // and returns false when the change fails, so nothing is ever synced,
    // cached or encoded below another folder.
    bool enterRootPath();
    void warnAboutRoot(const QString &problem);

    QFormLayout *formLayout;
    QLineEdit *serverEdit;
    QLineEdit *databaseEdit;
    QLineEdit *userNameEdit;
    QLineEdit *passwordEdit;
    QLineEdit *rootPathEdit;
    QPushButton *okButton;
    QPushButton *cancelButton;
    QPushButton *browseButton;
    QPushButton *transcodeButton;
    QSettings *settings;
};

// The first line of the warning shown when the connection does not open; the
// driver's error text follows it directly.
inline const char dbNoticeTitle[] = "DB Notice";
inline const char dbNoticeText[] = "The Database is not connected.  The client will now exit.\n";
