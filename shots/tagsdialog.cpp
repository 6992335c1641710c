#include "shots/tagsdialog.h"

#include "shots/quicktags.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

TagsDialog::TagsDialog(const QStringList &tags, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("tagsDialog"));
    setWindowTitle(tr("Tags"));
    auto *intro = new QLabel(tr("The project's quick tags. Alt+1 ... Alt+9 put the first nine on the shot "
                                "(or the selected shots) and take them off again. Double-click a tag to "
                                "rename it."),
                             this);
    intro->setWordWrap(true);
    list = new QListWidget(this);
    list->setObjectName(QStringLiteral("tagList"));
    for (const QString &tag : tags) {
        auto *item = new QListWidgetItem(tag, list);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    addButton = new QPushButton(tr("&Add"), this);
    addButton->setObjectName(QStringLiteral("addTagButton"));
    removeButton = new QPushButton(tr("&Remove"), this);
    removeButton->setObjectName(QStringLiteral("removeTagButton"));
    upButton = new QPushButton(tr("&Up"), this);
    upButton->setObjectName(QStringLiteral("tagUpButton"));
    downButton = new QPushButton(tr("&Down"), this);
    downButton->setObjectName(QStringLiteral("tagDownButton"));
    problem = new QLabel(this);
    problem->setObjectName(QStringLiteral("tagProblem"));
    problem->setWordWrap(true);
    problem->setTextFormat(Qt::PlainText);
    problem->setStyleSheet(QStringLiteral("color: #b00020"));
    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

    auto *side = new QVBoxLayout;
    for (QPushButton *button : {addButton, removeButton, upButton, downButton})
        side->addWidget(button);
    side->addStretch(1);
    auto *middle = new QHBoxLayout;
    middle->addWidget(list, 1);
    middle->addLayout(side);
    auto *outer = new QVBoxLayout(this);
    outer->addWidget(intro);
    outer->addLayout(middle, 1);
    outer->addWidget(problem);
    outer->addWidget(buttons);

    connect(addButton, &QPushButton::clicked, this, [this]() {
        auto *item = new QListWidgetItem(tr("New tag"), list);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        list->setCurrentItem(item);
        list->editItem(item);
        check();
    });
    connect(removeButton, &QPushButton::clicked, this, [this]() {
        delete list->currentItem();
        check();
    });
    connect(upButton, &QPushButton::clicked, this, [this]() { move(-1); });
    connect(downButton, &QPushButton::clicked, this, [this]() { move(1); });
    connect(list, &QListWidget::itemChanged, this, &TagsDialog::check);
    connect(list, &QListWidget::currentRowChanged, this, &TagsDialog::check);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    if (list->count() > 0)
        list->setCurrentRow(0);
    check();
}

QStringList TagsDialog::tags() const
{
    QStringList result;
    for (int i = 0; i < list->count(); ++i)
        result << list->item(i)->text().trimmed();
    return result;
}

void TagsDialog::move(int by)
{
    const int row = list->currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= list->count())
        return;
    QListWidgetItem *item = list->takeItem(row);
    list->insertItem(to, item);
    list->setCurrentRow(to);
}

void TagsDialog::check()
{
    const int row = list->currentRow();
    removeButton->setEnabled(row >= 0);
    upButton->setEnabled(row > 0);
    downButton->setEnabled(row >= 0 && row < list->count() - 1);
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem *item = list->item(i);
        const QString key = i < QuickTags::keyed ? tr("Alt+%1").arg(i + 1) : tr("no key");
        if (item->toolTip() != key)
            item->setToolTip(key);
    }
    QString text = QuickTags::problemWith(tags());
    if (text.isEmpty() && list->count() == 0)
        text = tr("With no tags, the project gets the default ones again.");
    problem->setText(text);
    problem->setVisible(!text.isEmpty());
    buttons->button(QDialogButtonBox::Ok)->setEnabled(QuickTags::problemWith(tags()).isEmpty());
}
