#include "shots/gridwidget.h"

#include "app/clientstate.h"
#include "db/statements.h"
#include "shots/clipfiles.h"
#include "shots/multilinedelegate.h"
#include "shots/shotfilter.h"
#include "shots/shottablemodel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>

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
    project = state->projectId;
    model->setFilter(QString::fromLatin1(Sql::shotsFilter).arg(project));
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
    // Off so that dragging near an edge does not scroll; keyboard moves
    // still keep the current cell in view (see currentChanged).
    setAutoScroll(false);

    // Free text may hold several lines; its cells get a multi-line editor.
    auto *multiLine = new MultiLineDelegate(this);
    for (const char *name : {"location", "shottype", "notes"}) {
        const int column = model->fieldIndex(QLatin1String(name));
        if (column >= 0)
            setItemDelegateForColumn(column, multiLine);
    }

    // Columns can be moved, and shown or hidden from the header's menu; the
    // main window keeps the header's state between runs.
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(horizontalHeader(), &QHeaderView::customContextMenuRequested, this, &GridWidget::showColumnMenu);

    connect(model, &ShotTableModel::aboutToSelect, this, &GridWidget::rememberPlace);
    connect(model, &QAbstractItemModel::modelReset, this, &GridWidget::restorePlace);
}

GridWidget::~GridWidget() = default;

void GridWidget::update_request()
{
    model->select();
}

void GridWidget::setFind(const QString &typed, bool notYetLogged)
{
    if (typed == findText && notYetLogged == findNotLogged)
        return;
    findText = typed;
    findNotLogged = notYetLogged;
    const QString filter = ShotFilter::condition(project, typed, notYetLogged,
                                                 model->database().driver());
    // setFilter reads the rows again through select(), which writes
    // pending edits first and keeps the place.
    if (filter != model->filter())
        model->setFilter(filter);
}

bool GridWidget::stepRow(int delta)
{
    const QModelIndex current = currentIndex();
    const int row = current.isValid() ? current.row() + delta : 0;
    if (row < 0 || row >= model->rowCount() || (current.isValid() && row == current.row()))
        return false;
    int column = current.isValid() ? current.column() : 0;
    if (isColumnHidden(column))
        column = horizontalHeader()->logicalIndex(0);
    setCurrentIndex(model->index(row, column));
    return currentIndex().row() == row;
}

int GridWidget::projectShotCount() const
{
    QSqlQuery count(model->database());
    count.prepare(QString::fromLatin1(Sql::countProjectShots));
    count.addBindValue(project);
    if (!count.exec() || !count.next())
        return -1;
    return count.value(0).toInt();
}

void GridWidget::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QTableView::currentChanged(current, previous);
    // With auto-scroll off the view no longer follows its current cell;
    // without this, Down or Ctrl+End moves the form to a row the grid does
    // not show, and typing writes into a cell out of sight. While a mouse
    // button is held (a drag) the view stays put.
    if (current.isValid() && QApplication::mouseButtons() == Qt::NoButton)
        scrollTo(current);
}

bool GridWidget::commitOpenEditor()
{
    if (model->isBusy())
        return true;
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
    placeSelection.clear();
    const QItemSelection selected = selectionModel()->selection();
    // A handful of ranges is what a person selects; a huge selection is
    // not worth a long search after every re-read.
    if (selected.size() <= 32) {
        for (const QItemSelectionRange &range : selected)
            placeSelection << SelectedRange{model->idOfRow(range.top()), model->idOfRow(range.bottom()),
                                            range.left(), range.right()};
    }
}

void GridWidget::restorePlace()
{
    const bool resorted = placeSortColumn != horizontalHeader()->sortIndicatorSection()
        || placeSortOrder != horizontalHeader()->sortIndicatorOrder();
    const int row = model->rowOfId(placeId);
    if (row >= 0) {
        const QModelIndex index = model->index(row, placeColumn);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        if (!placeSelection.isEmpty()) {
            QItemSelection selection;
            for (const SelectedRange &range : std::as_const(placeSelection)) {
                const int top = range.topId == placeId ? row : model->rowOfId(range.topId);
                const int bottom = range.bottomId == range.topId ? top : model->rowOfId(range.bottomId);
                if (top >= 0 && bottom >= 0)
                    selection.select(model->index(qMin(top, bottom), range.left),
                                     model->index(qMax(top, bottom), range.right));
            }
            selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        }
        if (resorted) {
            scrollTo(index, QAbstractItemView::PositionAtCenter);
            return;
        }
    }
    verticalScrollBar()->setValue(placeScroll);
}

void GridWidget::showColumnMenu(const QPoint &position)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("columnMenu"));
    int shown = 0;
    for (int column = 0; column < model->columnCount(); ++column)
        shown += isColumnHidden(column) ? 0 : 1;
    for (int visual = 0; visual < horizontalHeader()->count(); ++visual) {
        const int column = horizontalHeader()->logicalIndex(visual);
        if (column == 1) // project: the same for every row
            continue;
        QAction *action = menu.addAction(model->headerData(column, Qt::Horizontal).toString());
        action->setCheckable(true);
        action->setChecked(!isColumnHidden(column));
        // The last column shown stays: a grid without columns cannot be
        // given them back through its header.
        action->setEnabled(isColumnHidden(column) || shown > 1);
        connect(action, &QAction::toggled, this, [this, column](bool on) { setColumnHidden(column, !on); });
    }
    menu.exec(horizontalHeader()->viewport()->mapToGlobal(position));
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
