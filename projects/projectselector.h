#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSqlQueryModel;
class QVBoxLayout;

// Lists the projects after the login, shows the selected one's description
// and offers editing, syncing and an online transcode.
class ProjectSelector : public QDialog
{
    Q_OBJECT

public:
    explicit ProjectSelector(QWidget *parent = nullptr);
    ~ProjectSelector() override;

    // Shown again from the main window, the chooser cannot offer the online
    // transcode: it ends the client when its window closes.
    void setTranscodeAvailable(bool available);

public slots:
    void update(int idx);
    void accept() override;
    void syncDB();
    void showTranscode();

private:
    void storeSelectedProject();

    QSqlQueryModel *projectsModel;
    QVBoxLayout *layout;
    QLabel *titleLabel;
    QComboBox *projectBox;
    QLabel *descriptionLabel;
    QPushButton *editButton;
    QPushButton *syncButton;
    QCheckBox *changedOnlyBox;   // "Only new or changed clips", remembered per user
    QLabel *mediaHintLabel;      // how to turn on clip facts and posters, when the tables are missing
    QPushButton *transcodeButton;
};
