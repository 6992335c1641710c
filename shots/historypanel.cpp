#include "shots/historypanel.h"

#include "shots/shotedits.h"
#include "shots/shothistorymodel.h"

#include <QHeaderView>
#include <QLabel>
#include <QStyle>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

HistoryPanel::HistoryPanel(ShotEdits *edits, QWidget *parent)
    : QWidget(parent)
    , edits(edits)
{
    setObjectName(QStringLiteral("historyPanel"));
    history = new ShotHistoryModel(this);
    table = new QTableView(this);
    table->setObjectName(QStringLiteral("historyView"));
    table->setModel(history);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    sizeColumns();
    note = new QLabel(this);
    note->setObjectName(QStringLiteral("historyNote"));
    note->setWordWrap(true);
    undoChange = new QPushButton(tr("Undo This Change"), this);
    undoChange->setObjectName(QStringLiteral("undoChangeButton"));
    undoChange->setToolTip(tr("Puts back the values before the selected change, in every shot it changed. "
                              "A value changed since then is not overwritten: you choose."));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table, 1);
    layout->addWidget(note);
    layout->addWidget(undoChange);

    connect(undoChange, &QPushButton::clicked, this, [this]() {
        const QModelIndex current = table->currentIndex();
        if (!current.isValid())
            return;
        const qint64 changeSet = history->data(current, ShotHistoryModel::ChangeSetRole).toLongLong();
        if (changeSet > 0)
            this->edits->revertChangeSet(changeSet);
    });
    connect(table->selectionModel(), &QItemSelectionModel::currentChanged, this, &HistoryPanel::updateState);
    connect(history, &QAbstractItemModel::modelReset, this, [this]() {
        sizeColumns();
        updateState();
    });
    connect(history, &ShotHistoryModel::loaded, this, [this](bool ok, const QString &error) {
        if (!ok && this->edits->history() != ShotEdits::History::Missing)
            note->setText(tr("The history could not be read: %1").arg(error));
        updateState();
    });
    connect(edits, &ShotEdits::historyChanged, this, [this](const QList<qlonglong> &shots) {
        if (shots.contains(history->shot()))
            history->refresh();
    });
    connect(edits, &ShotEdits::undoStateChanged, this, &HistoryPanel::updateState);
    updateState();
}

int HistoryPanel::columnRoom(int column) const
{
    const QFontMetrics metrics = table->fontMetrics();
    const int character = metrics.averageCharWidth();
    // Cell text is drawn within a margin each side, and a little more.
    const int margins = 2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1) + 4;
    switch (column) {
    case ShotHistoryModel::When:
        return metrics.horizontalAdvance(QStringLiteral("2024-12-31 23:59:59")) + margins;
    case ShotHistoryModel::Who:
        return 14 * character + margins;
    default:
        return 12 * character + margins;
    }
}

void HistoryPanel::sizeColumns()
{
    QHeaderView *header = table->horizontalHeader();
    // What the changes hold, within each column's room; before any, the
    // rooms themselves.
    if (history->rowCount() > 0)
        table->resizeColumnsToContents();
    for (int column = 0; column < history->columnCount(); ++column) {
        const int room = columnRoom(column);
        if (history->rowCount() == 0 || header->sectionSize(column) > room)
            header->resizeSection(column, room);
    }
}

QSize HistoryPanel::sizeHint() const
{
    QSize size = QWidget::sizeHint();
    int width = 2 * table->frameWidth() + table->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, table);
    for (int column = 0; column < history->columnCount(); ++column)
        width += columnRoom(column);
    size.setWidth(qMax(size.width(), width));
    return size;
}

void HistoryPanel::showShot(qlonglong shot)
{
    if (edits->history() == ShotEdits::History::Missing)
        return;
    history->showShot(shot);
}

void HistoryPanel::refresh()
{
    if (edits->history() != ShotEdits::History::Missing)
        history->refresh();
}

void HistoryPanel::updateState()
{
    const bool missing = edits->history() == ShotEdits::History::Missing;
    table->setEnabled(!missing);
    undoChange->setEnabled(!missing && table->currentIndex().isValid());
    if (missing)
        note->setText(tr("No history is recorded: the database has no change history. An administrator can add "
                         "it with \"tavelo-sync --setup-database\"."));
    else if (history->shot() && history->rowCount() == 0 && !history->isReading())
        note->setText(tr("No recorded changes of this shot."));
    else if (!note->text().startsWith(tr("The history could not be read")) || history->rowCount() > 0)
        note->clear();
    note->setVisible(!note->text().isEmpty());
}
