#include "projects/projectselector.h"

#include "app/clientstate.h"
#include "db/connectionsettings.h"
#include "db/statements.h"
#include "media/mediatables.h"
#include "projects/populatedb.h"
#include "transcode/transcodedialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QVBoxLayout>

namespace {
// In the user's settings store, beside the connection keys.
const char changedOnlyKey[] = "Sync/changedOnly";
} // namespace

ProjectSelector::ProjectSelector(QWidget *parent)
    : QDialog(parent)
{
    layout = new QVBoxLayout;
    titleLabel = new QLabel("Select Project...");
    projectBox = new QComboBox;
    descriptionLabel = new QLabel;
    editButton = new QPushButton("Edit Project");
    syncButton = new QPushButton("Sync Project");
    transcodeButton = new QPushButton("Online Transcode");
    // Off by default: a full sync, which reads every clip, stays the rule.
    changedOnlyBox = new QCheckBox("Only new or changed clips");
    changedOnlyBox->setToolTip("Take the digests of clips whose size and modification time have not changed "
                               "since the previous sync instead of reading them again. A clip changed without "
                               "a change of either goes unnoticed.");
    changedOnlyBox->setChecked(QSettings(ConnectionKeys::organisation, ConnectionKeys::application)
                                   .value(changedOnlyKey, false)
                                   .toBool());
    editButton->setDefault(true);
    // Nothing is selected until the model arrives; a sync without a project
    // would file its shots under a project that does not exist.
    syncButton->setEnabled(false);
    descriptionLabel->setWordWrap(true);

    projectsModel = new QSqlQueryModel;
    projectsModel->setQuery(Sql::selectProjects, QSqlDatabase());

    layout->addWidget(titleLabel);
    layout->addWidget(projectBox);
    layout->addWidget(descriptionLabel);
    layout->addWidget(editButton);
    layout->addWidget(syncButton);
    layout->addWidget(changedOnlyBox);
    // Without the optional tables the sync reads no media: said here once,
    // under the sync, with the command that turns it on.
    mediaHintLabel = new QLabel(MediaTables::enableHint(MediaTables::check(QSqlDatabase::database())));
    mediaHintLabel->setWordWrap(true);
    mediaHintLabel->setMinimumWidth(mediaHintLabel->fontMetrics().averageCharWidth() * 40);
    mediaHintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mediaHintLabel->setVisible(!mediaHintLabel->text().isEmpty());
    layout->addWidget(mediaHintLabel);
    layout->addWidget(transcodeButton);

    connect(projectBox, &QComboBox::currentIndexChanged, this, &ProjectSelector::update);
    connect(editButton, &QPushButton::clicked, this, &ProjectSelector::accept);
    connect(syncButton, &QPushButton::clicked, this, &ProjectSelector::syncDB);
    connect(transcodeButton, &QPushButton::clicked, this, &ProjectSelector::showTranscode);
    connect(changedOnlyBox, &QCheckBox::toggled, this, [](bool on) {
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).setValue(changedOnlyKey, on);
    });

    projectBox->setModel(projectsModel);
    setLayout(layout);

    projectBox->setObjectName("projectBox");
    descriptionLabel->setObjectName("descriptionLabel");
    editButton->setObjectName("editButton");
    syncButton->setObjectName("syncButton");
    changedOnlyBox->setObjectName("changedOnlyBox");
    transcodeButton->setObjectName("transcodeButton");
    mediaHintLabel->setObjectName("mediaHintLabel");
}

ProjectSelector::~ProjectSelector()
{
    delete projectsModel;
}

void ProjectSelector::setTranscodeAvailable(bool available)
{
    transcodeButton->setEnabled(available);
    transcodeButton->setToolTip(available ? QString()
                                          : QStringLiteral("Not while the shots are open: it ends "
                                                           "the client when its window closes."));
}

void ProjectSelector::update(int idx)
{
    descriptionLabel->setText(projectsModel->record(idx).value("description").toString());
    syncButton->setEnabled(idx >= 0);
}

void ProjectSelector::storeSelectedProject()
{
    ClientState::instance()->projectId =
        projectsModel->record(projectBox->currentIndex()).value("id").toInt();
}

void ProjectSelector::accept()
{
    storeSelectedProject();
    QDialog::accept();
}

void ProjectSelector::syncDB()
{
    if (projectBox->currentIndex() < 0)
        return;
    storeSelectedProject();
    PopulateDB sync(this);
    sync.setChangedOnly(changedOnlyBox->isChecked());
    sync.run();
}

void ProjectSelector::showTranscode()
{
    QDialog::reject();
    new TranscodeDialog;
}
