#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QStandardItemModel;
class QVBoxLayout;

// Lists the projects after the login, shows the selected one's description
// and offers editing, syncing and an online transcode.
//
// The list is read on the database thread, before the dialog shows (the
// window waits in a local event loop, painting); a list that cannot be read
// says why and offers to try again, and nothing goes on without a project.
// The project used last is selected; each shows its id and its number of
// shots; double-click or Return opens it.
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

    // The project chosen last by this user (settings key "Projects/last").
    static int lastProject();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void storeSelectedProject();
    // Reads the projects, their shot counts and whether the media tables
    // are there; selects the project used last.
    void loadProjects();
    int selectedProject() const;

    QStandardItemModel *projectsModel;
    QVBoxLayout *layout;
    QLabel *titleLabel;
    QComboBox *projectBox;
    QLabel *descriptionLabel;
    QPushButton *editButton;
    QPushButton *syncButton;
    QCheckBox *changedOnlyBox;   // "Only new or changed clips", remembered per user
    QLabel *mediaHintLabel;      // how to turn on clip facts and posters, when the tables are missing
    QPushButton *transcodeButton;
    QLabel *problemLabel;        // why the list could not be read
    QPushButton *retryButton;    // "Try Again"

};
