#include "projects/projectselector.h"

#include "app/clientstate.h"
#include "db/connectionsettings.h"
#include "db/dbworker.h"
#include "db/statements.h"
#include "media/mediatables.h"
#include "projects/populatedb.h"
#include "transcode/transcodedialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QAbstractItemView>
#include <QMouseEvent>
#include <QPainter>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {
// In the user's settings store, beside the connection keys.
const char changedOnlyKey[] = "Sync/changedOnly";
const char lastProjectKey[] = "Projects/last";

// The model's columns: the name shows in the box; the others are read by name.
enum Column { NameColumn, DescriptionColumn, IdColumn, ShotsColumn, ColumnCount };

// Each project in the list with its id and number of shots, beside its name
// (which stays the item's text).
class ProjectItemDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const QString extra = QStringLiteral("#%1 \u00b7 %2").arg(index.siblingAtColumn(IdColumn).data().toString(),
                                                                  index.siblingAtColumn(ShotsColumn).data().toString());
        painter->save();
        painter->setPen(option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                                      : QPalette::PlaceholderText));
        painter->drawText(option.rect.adjusted(0, 0, -6, 0), Qt::AlignRight | Qt::AlignVCenter, extra);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.rwidth() += option.fontMetrics.horizontalAdvance(QStringLiteral("#00000 \u00b7 00000 shots")) + 12;
        return size;
    }
};
} // namespace

int ProjectSelector::lastProject()
{
    return QSettings(ConnectionKeys::organisation, ConnectionKeys::application).value(lastProjectKey, 0).toInt();
}

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
    // Nothing is selected until the list is read: neither editing nor a
    // sync may go on with a project that does not exist.
    editButton->setEnabled(false);
    syncButton->setEnabled(false);
    descriptionLabel->setWordWrap(true);
    problemLabel = new QLabel;
    problemLabel->setWordWrap(true);
    problemLabel->setTextFormat(Qt::PlainText);
    problemLabel->hide();
    retryButton = new QPushButton("Try Again");
    retryButton->hide();

    projectsModel = new QStandardItemModel(0, ColumnCount);

    layout->addWidget(titleLabel);
    layout->addWidget(projectBox);
    layout->addWidget(descriptionLabel);
    layout->addWidget(editButton);
    layout->addWidget(syncButton);
    layout->addWidget(changedOnlyBox);
    // Without the optional tables the sync reads no media: said here once,
    // under the sync, with the command that turns it on.
    mediaHintLabel = new QLabel;
    mediaHintLabel->setWordWrap(true);
    mediaHintLabel->setMinimumWidth(mediaHintLabel->fontMetrics().averageCharWidth() * 40);
    mediaHintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mediaHintLabel->hide();
    layout->addWidget(mediaHintLabel);
    layout->addWidget(transcodeButton);
    layout->addWidget(problemLabel);
    layout->addWidget(retryButton);

    connect(projectBox, &QComboBox::currentIndexChanged, this, &ProjectSelector::update);
    connect(editButton, &QPushButton::clicked, this, &ProjectSelector::accept);
    connect(syncButton, &QPushButton::clicked, this, &ProjectSelector::syncDB);
    connect(transcodeButton, &QPushButton::clicked, this, &ProjectSelector::showTranscode);
    connect(changedOnlyBox, &QCheckBox::toggled, this, [](bool on) {
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).setValue(changedOnlyKey, on);
    });

    connect(retryButton, &QPushButton::clicked, this, &ProjectSelector::loadProjects);

    projectBox->setModel(projectsModel);
    projectBox->setItemDelegate(new ProjectItemDelegate(projectBox));
    // Double-click opens, in the list and on the box.
    projectBox->installEventFilter(this);
    connect(projectBox->view(), &QAbstractItemView::doubleClicked, this, [this]() {
        projectBox->hidePopup();
        accept();
    });
    setLayout(layout);

    projectBox->setObjectName("projectBox");
    descriptionLabel->setObjectName("descriptionLabel");
    editButton->setObjectName("editButton");
    syncButton->setObjectName("syncButton");
    changedOnlyBox->setObjectName("changedOnlyBox");
    transcodeButton->setObjectName("transcodeButton");
    mediaHintLabel->setObjectName("mediaHintLabel");
    problemLabel->setObjectName("problemLabel");
    retryButton->setObjectName("retryButton");
    loadProjects();
}

void ProjectSelector::loadProjects()
{
    struct Projects
    {
        StatementResult status;
        QList<QList<QVariant>> rows; // name, description, id, shots
        QString mediaHint;
    };
    auto *read = new Projects;
    problemLabel->setText(QStringLiteral("Reading the projects..."));
    problemLabel->show();
    retryButton->hide();
    // Waits in a local event loop: windows already shown keep painting.
    DbWorker::shared()->runAndWait(
        this,
        [read](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            QSqlQuery query(runner.database());
            QHash<qlonglong, int> counts;
            read->status = runner.run(query, QString::fromLatin1(Sql::shotsPerProject));
            while (read->status.ok() && query.next())
                counts.insert(query.value(0).toLongLong(), query.value(1).toInt());
            if (read->status.ok())
                read->status = runner.run(query, QString::fromLatin1(Sql::selectProjects));
            while (read->status.ok() && query.next())
                read->rows << QList<QVariant>{query.value(0), query.value(1), query.value(2),
                                              counts.value(query.value(2).toLongLong(), 0)};
            if (read->status.ok())
                read->mediaHint = MediaTables::enableHint(MediaTables::check(runner));
            return {};
        },
        QStringLiteral("Reading the projects"));
    const Projects result = *read;
    delete read;

    projectsModel->removeRows(0, projectsModel->rowCount());
    if (!result.status.ok()) {
        problemLabel->setText(QStringLiteral("The projects could not be read: %1").arg(result.status.error));
        retryButton->show();
        update(-1);
        return;
    }
    problemLabel->hide();
    const int last = lastProject();
    int selected = result.rows.isEmpty() ? -1 : 0;
    for (const QList<QVariant> &row : result.rows) {
        QList<QStandardItem *> items;
        for (int column = 0; column < ColumnCount; ++column) {
            auto *item = new QStandardItem;
            const QVariant value = column == ShotsColumn ? QVariant(QStringLiteral("%1 shots").arg(row.at(column).toInt()))
                                                        : row.at(column);
            item->setData(value, Qt::DisplayRole);
            items << item;
        }
        items.first()->setToolTip(QStringLiteral("Project %1, %2 shots").arg(row.at(IdColumn).toString()).arg(row.at(ShotsColumn).toInt()));
        if (row.at(IdColumn).toInt() == last)
            selected = projectsModel->rowCount();
        projectsModel->appendRow(items);
    }
    if (result.rows.isEmpty()) {
        problemLabel->setText(QStringLiteral("The database holds no project yet."));
        problemLabel->show();
    }
    mediaHintLabel->setText(result.mediaHint);
    mediaHintLabel->setVisible(!result.mediaHint.isEmpty());
    projectBox->setCurrentIndex(selected);
    update(selected);
}

int ProjectSelector::selectedProject() const
{
    const int row = projectBox->currentIndex();
    return row < 0 ? 0 : projectsModel->item(row, IdColumn)->data(Qt::DisplayRole).toInt();
}

bool ProjectSelector::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == projectBox && event->type() == QEvent::MouseButtonDblClick && projectBox->currentIndex() >= 0) {
        accept();
        return true;
    }
    return QDialog::eventFilter(watched, event);
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
    const bool valid = idx >= 0 && idx < projectsModel->rowCount();
    descriptionLabel->setText(valid ? projectsModel->item(idx, DescriptionColumn)->text() : QString());
    editButton->setEnabled(valid);
    syncButton->setEnabled(valid);
}

void ProjectSelector::storeSelectedProject()
{
    const int project = selectedProject();
    ClientState::instance()->projectId = project;
    QSettings(ConnectionKeys::organisation, ConnectionKeys::application).setValue(lastProjectKey, project);
}

void ProjectSelector::accept()
{
    // Never a project that is not in the list (project 0).
    if (projectBox->currentIndex() < 0)
        return;
    storeSelectedProject();
    QDialog::accept();
}

void ProjectSelector::syncDB()
{
    if (projectBox->currentIndex() < 0)
        return;
    storeSelectedProject();
    {
        PopulateDB sync(this);
        sync.setChangedOnly(changedOnlyBox->isChecked());
        sync.run();
    }
    // Return now opens the project: it must not start the sync again.
    editButton->setDefault(true);
    editButton->setFocus();
    loadProjects(); // the counts changed
}

void ProjectSelector::showTranscode()
{
    QDialog::reject();
    new TranscodeDialog;
}
