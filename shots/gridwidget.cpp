#include "shots/gridwidget.h"

#include "app/clientstate.h"
#include "db/statements.h"
#include "shots/clipfiles.h"
#include "shots/shottablemodel.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QSqlDatabase>

GridWidget::GridWidget(QWidget *parent)
    : QTableView(parent)
{
    setObjectName(QStringLiteral("grid"));
    ClientState *state = ClientState::instance();

    model = new ShotTableModel(nullptr, QSqlDatabase());
    model->setTable(QString::fromLatin1(Sql::shotsTable));
    // Nothing waits in the model for a later submit: the model writes each
    // edit itself, so OnManualSubmit only keeps the toolkit from submitting
    // (and re-reading everything) on its own.
    model->setEditStrategy(QSqlTableModel::OnManualSubmit);
    model->setFilter(QString::fromLatin1(Sql::shotsFilter).arg(state->projectId));
    // The order is part of the one read below; switching on header sorting
    // and sorting by id then find the rows already in that order.
    model->setSort(0, Qt::AscendingOrder);
    model->select();

    setModel(model);
    hideColumn(1);
    horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
    setSortingEnabled(true);
    resizeColumnsToContents();
    sortByColumn(0, Qt::AscendingOrder);
    setAutoScroll(false);

    connect(model, &ShotTableModel::aboutToSelect, this, &GridWidget::rememberPlace);
    connect(model, &QAbstractItemModel::modelReset, this, &GridWidget::restorePlace);
}

GridWidget::~GridWidget() = default;

void GridWidget::update_request()
{
    model->select();
}

bool GridWidget::commitOpenEditor()
{
    if (state() != QAbstractItemView::EditingState)
        return true;
    QWidget *editor = indexWidget(currentIndex());
    if (!editor)
        return true;
    commitData(editor);
    closeEditor(editor, QAbstractItemDelegate::NoHint);
    return model->lastSaveError().isEmpty();
}

void GridWidget::rememberPlace()
{
    commitOpenEditor();
    const QModelIndex current = currentIndex();
    placeId = current.isValid() ? model->idOfRow(current.row()) : QVariant();
    placeColumn = current.isValid() ? current.column() : -1;
    placeScroll = verticalScrollBar()->value();
    placeSortColumn = horizontalHeader()->sortIndicatorSection();
    placeSortOrder = horizontalHeader()->sortIndicatorOrder();
}

void GridWidget::restorePlace()
{
    const bool resorted = placeSortColumn != horizontalHeader()->sortIndicatorSection()
        || placeSortOrder != horizontalHeader()->sortIndicatorOrder();
    const int row = model->rowOfId(placeId);
    if (row >= 0) {
        const QModelIndex index = model->index(row, placeColumn);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        if (resorted) {
            scrollTo(index, QAbstractItemView::PositionAtCenter);
            return;
        }
    }
    verticalScrollBar()->setValue(placeScroll);
}

void GridWidget::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex index = indexAt(viewport()->mapFromGlobal(event->globalPos()));
    if (!index.isValid())
        return;
    const QString filename =
        model->data(model->index(index.row(), model->fieldIndex(QStringLiteral("filename"))))
            .toString();
    QMenu menu(this);
    QAction *open = menu.addAction(QStringLiteral("Open Clip"));
    open->setEnabled(!filename.isEmpty());
    if (menu.exec(event->globalPos()) == open) {
        const QString problem = openClip(filename);
        if (!problem.isEmpty())
            emit message(problem);
    }
}
