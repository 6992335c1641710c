#include "shots/gridwidget.h"

#include "app/clientstate.h"
#include "db/statements.h"
#include "shots/clipfiles.h"
#include "shots/shotcelldelegate.h"
#include "shots/shotfilter.h"
#include "shots/shottablemodel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QSqlDatabase>

GridWidget::GridWidget(QWidget *parent, ShotEdits *edits)
    : QTableView(parent)
{
    setObjectName(QStringLiteral("grid"));
    ClientState *state = ClientState::instance();
    project = state->projectId;

    model = new ShotTableModel(nullptr, edits);
    model->setTable(QString::fromLatin1(Sql::shotsTable));
    model->setProject(project);
    // The order is part of the one read below; switching on header sorting
    // then finds the rows already in that order.
    model->setSort(0, Qt::AscendingOrder);
    model->setFilter(QString::fromLatin1(Sql::shotsFilter).arg(project));

    setModel(model);
    setItemDelegate(new ShotCellDelegate(this));
    horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
    setSortingEnabled(true);
    // Off so that dragging near an edge does not scroll; keyboard moves
    // still keep the current cell in view (see currentChanged).
    setAutoScroll(false);
    // Rows of one line: a note of many lines or kilobytes shows its first
    // line, and no row's height depends on what it holds.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    setWordWrap(false);

    // Columns can be moved, and shown or hidden from the header's menu; the
    // main window keeps the header's state between runs.
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(horizontalHeader(), &QHeaderView::customContextMenuRequested, this, &GridWidget::showColumnMenu);

    connect(model, &ShotTableModel::columnsReady, this, &GridWidget::setUpColumns);
    connect(model, &ShotTableModel::aboutToSelect, this, &GridWidget::rememberPlace);
    connect(model, &QAbstractItemModel::modelReset, this, &GridWidget::restorePlace);
}

GridWidget::~GridWidget() = default;

void GridWidget::setUpColumns()
{
    // The first read brought the columns: the project's column is the same
    // for every row, and the layout the user left takes over.
    hideColumn(model->fieldIndex(QStringLiteral("project")));
    resizeColumnsToContents();
    if (!pendingHeaderState.isEmpty()) {
        const QByteArray state = pendingHeaderState;
        pendingHeaderState.clear();
        setHeaderState(state);
    }
}

void GridWidget::setHeaderState(const QByteArray &state)
{
    if (!model->hasColumns()) {
        pendingHeaderState = state;
        return;
    }
    if (state.isEmpty() || !horizontalHeader()->restoreState(state))
        return;
    // project stays hidden whatever was stored, and a stored sort only
    // takes effect through the model.
    hideColumn(model->fieldIndex(QStringLiteral("project")));
    sortByColumn(horizontalHeader()->sortIndicatorSection(), horizontalHeader()->sortIndicatorOrder());
}

QByteArray GridWidget::headerState() const
{
    if (!model->hasColumns())
        return pendingHeaderState;
    return horizontalHeader()->saveState();
}

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
    // The words are quoted by the driver of the login's connection: a local
    // operation, no statement.
    const QString filter = ShotFilter::condition(project, typed, notYetLogged, QSqlDatabase::database().driver());
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
    // Not setCurrentIndex(): with Ctrl held (Ctrl+Return) that would add
    // the row to the selection, and the highlighted rows would no longer
    // say which shot the form shows.
    const QModelIndex next = model->index(row, column);
    selectionModel()->setCurrentIndex(next, QItemSelectionModel::ClearAndSelect);
    return currentIndex().row() == row;
}

int GridWidget::projectShotCount() const
{
    return model->projectShotCount();
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
    if (state() != QAbstractItemView::EditingState)
        return true;
    QWidget *editor = indexWidget(currentIndex());
    if (!editor)
        return true;
    commitData(editor);
    closeEditor(editor, QAbstractItemDelegate::NoHint);
    return true;
}

void GridWidget::rememberPlace()
{
    // What is typed in an open cell goes to its shot before the rows change.
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
    int row = model->rowOfId(placeId);
    const bool kept = row >= 0;
    if (!kept && model->rowCount() > 0)
        row = 0; // the shot left the rows (or there was none): the first row
    if (row >= 0) {
        int column = placeColumn >= 0 ? placeColumn : horizontalHeader()->logicalIndex(0);
        if (column < 0 || isColumnHidden(column))
            column = horizontalHeader()->logicalIndex(0);
        const QModelIndex index = model->index(row, column);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        if (kept && !placeSelection.isEmpty()) {
            QItemSelection selection;
            for (const SelectedRange &range : std::as_const(placeSelection)) {
                const int top = model->rowOfId(range.topId);
                const int bottom = model->rowOfId(range.bottomId);
                if (top >= 0 && bottom >= 0)
                    selection.select(model->index(qMin(top, bottom), range.left),
                                     model->index(qMax(top, bottom), range.right));
            }
            if (!selection.isEmpty())
                selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        }
        if (resorted || !kept) {
            scrollTo(index, QAbstractItemView::PositionAtCenter);
            emit rowsShown();
            return;
        }
    }
    verticalScrollBar()->setValue(placeScroll);
    if (row >= 0)
        scrollTo(currentIndex());
    emit rowsShown();
}

void GridWidget::showColumnMenu(const QPoint &position)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("columnMenu"));
    int shown = 0;
    for (int column = 0; column < model->columnCount(); ++column)
        shown += isColumnHidden(column) ? 0 : 1;
    const int projectColumn = model->fieldIndex(QStringLiteral("project"));
    for (int visual = 0; visual < horizontalHeader()->count(); ++visual) {
        const int column = horizontalHeader()->logicalIndex(visual);
        if (column == projectColumn) // the same for every row
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
    const QString filename = model->storedValue(index.row(), model->fieldIndex(QStringLiteral("filename"))).toString();
    QMenu menu(this);
    QAction *open = menu.addAction(QStringLiteral("Open Clip"));
    open->setEnabled(!filename.isEmpty());
    if (menu.exec(event->globalPos()) == open) {
        const QString problem = openClip(filename);
        if (!problem.isEmpty())
            emit message(problem);
    }
}
