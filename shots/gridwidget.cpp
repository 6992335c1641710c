#include "shots/gridwidget.h"

#include "app/clientstate.h"
#include "db/statements.h"
#include "shots/clipfiles.h"
#include "shots/posterpictures.h"
#include "shots/shotcelldelegate.h"
#include "shots/shotcolumns.h"
#include "shots/shotedits.h"
#include "shots/shottablemodel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QMenu>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTimer>

namespace {
// The toolkit's header draws a label wider than its column cut off at both
// sides ("oductio"); this one ends it in "…" ("Produ…"). The layout for
// logging sizes columns to their cells, and the words are in the tooltip.
class ElidingHeader : public QHeaderView
{
public:
    using QHeaderView::QHeaderView;

protected:
    void initStyleOptionForIndex(QStyleOptionHeader *option, int logicalIndex) const override
    {
        QHeaderView::initStyleOptionForIndex(option, logicalIndex);
        QStyleOptionHeader section = *option;
        section.rect = QRect(0, 0, sectionSize(logicalIndex), height());
        const int width = style()->subElementRect(QStyle::SE_HeaderLabel, &section, this).width();
        option->text = option->fontMetrics.elidedText(option->text, Qt::ElideRight, width);
    }
};
} // namespace

GridWidget::GridWidget(QWidget *parent, ShotEdits *edits)
    : QTableView(parent)
{
    setObjectName(QStringLiteral("grid"));
    ClientState *state = ClientState::instance();
    project = state->projectId;

    model = new ShotTableModel(nullptr, edits);
    model->setTable(QString::fromLatin1(Sql::shotsTable));
    // The project's shots by id: one read, from the event loop, which a
    // restored order joins; switching on header sorting then finds the rows
    // already in that order.
    ShotQuery shots;
    shots.project = project;
    model->setQuery(shots);

    auto *header = new ElidingHeader(Qt::Horizontal, this);
    header->setSectionsClickable(true); // as the view's own header
    header->setHighlightSections(true);
    setHorizontalHeader(header);
    setModel(model);
    auto *cells = new ShotCellDelegate(this);
    cells->setPosterSource([this](const QModelIndex &index) { return posterOfRow(index.row()); });
    setItemDelegate(cells);
    // Small pictures for the rows in view: some hundreds of them.
    thumbnails.setMaxCost(8 * 1024 * 1024);
    posterTimer = new QTimer(this);
    posterTimer->setSingleShot(true);
    posterTimer->setInterval(30);
    connect(posterTimer, &QTimer::timeout, this, &GridWidget::requestPosters);
    // Posters follow the rows in view, whatever changed them: a scroll (the
    // keys too), a read, a sort or find of the rows held, the poster column
    // shown again, and a resize of the view (resizeEvent).
    auto rowsInViewChanged = qOverload<>(&QTimer::start);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, posterTimer, rowsInViewChanged);
    connect(model, &QAbstractItemModel::modelReset, posterTimer, rowsInViewChanged);
    connect(model, &QAbstractItemModel::layoutChanged, posterTimer, rowsInViewChanged);
    connect(model, &QAbstractItemModel::rowsInserted, posterTimer, rowsInViewChanged);
    connect(model, &QAbstractItemModel::rowsRemoved, posterTimer, rowsInViewChanged);
    connect(horizontalHeader(), &QHeaderView::sectionResized, posterTimer, rowsInViewChanged);
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
    // The first read brought the columns: the layout the user left takes
    // over, or the one for logging.
    const QByteArray state = pendingHeaderState;
    pendingHeaderState.clear();
    if (state.isEmpty() || !applyHeaderState(state))
        useLoggingLayout();
    if (model->hasMedia() && !posterFetcher) {
        // The login's connection settings, copied on this thread; the
        // pictures are made on the fetcher's thread, at the rows' height.
        posterFetcher = new PosterFetcher(QLatin1String(QSqlDatabase::defaultConnection), this);
        posterFetcher->setCacheLimit(32 * 1024 * 1024);
        posterFetcher->setDecoder(posterDecoder(qMax(16, verticalHeader()->defaultSectionSize() - 4)));
        connect(posterFetcher, &PosterFetcher::posterReady, this, &GridWidget::posterReady);
        connect(posterFetcher, &PosterFetcher::problemOccurred, this, &GridWidget::message);
        posterTimer->start();
    }
}

PosterFetcher::Content GridWidget::contentOfRow(int row) const
{
    return {model->storedValue(row, model->fieldIndex(QStringLiteral("MD5"))).toString().toLatin1(),
            model->storedValue(row, model->fieldIndex(QStringLiteral("SHA1"))).toString().toLatin1()};
}

QPixmap GridWidget::posterOfRow(int row) const
{
    const PosterFetcher::Content content = contentOfRow(row);
    if (QPixmap *cached = thumbnails.object(content.first + content.second))
        return *cached;
    return QPixmap();
}

QString GridWidget::cellText(const QModelIndex &index) const
{
    auto *cells = qobject_cast<ShotCellDelegate *>(itemDelegateForIndex(index));
    if (!cells || !index.isValid())
        return QString();
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    return cells->cellText(option, index);
}

void GridWidget::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    // A taller view (a maximised window) shows rows that have no poster yet.
    if (posterTimer)
        posterTimer->start();
}

void GridWidget::wantPoster(const QByteArray &md5, const QByteArray &sha1)
{
    if (posterFetcher) {
        const QVariant cached = posterFetcher->poster(md5, sha1);
        if (cached.isValid()) {
            emit posterArrived(md5, sha1, cached.value<PosterPictures>().picture, QString());
            return;
        }
        if (posterFetcher->hasNoPoster(md5, sha1)) {
            emit posterArrived(md5, sha1, QImage(), posterFetcher->refusal(md5, sha1));
            return;
        }
    }
    wanted = {md5, sha1};
    if (posterFetcher)
        posterTimer->start();
}

void GridWidget::requestPosters()
{
    const int posterColumn = model->fieldIndex(QStringLiteral("poster"));
    if (!posterFetcher || !posterFetcher->isAvailable())
        return;
    // The rows in view (and a screen's worth below, for the next scroll),
    // those not shown yet; the form's shot first.
    QList<PosterFetcher::Content> contents;
    if (!wanted.first.isEmpty())
        contents << wanted;
    if (posterColumn >= 0 && !isColumnHidden(posterColumn) && model->rowCount() > 0) {
        const int first = qMax(0, rowAt(0));
        int last = rowAt(viewport()->height() - 1);
        if (last < 0)
            last = model->rowCount() - 1;
        last = qMin(model->rowCount() - 1, last + (last - first + 1));
        for (int row = first; row <= last; ++row) {
            const PosterFetcher::Content content = contentOfRow(row);
            if (!thumbnails.contains(content.first + content.second) && !contents.contains(content))
                contents << content;
        }
    }
    if (!contents.isEmpty())
        posterFetcher->request(contents);
}

void GridWidget::posterReady(const QByteArray &md5, const QByteArray &sha1, const QVariant &picture,
                             const QString &refusal)
{
    // Decoded and scaled on the fetcher's thread: here they only become
    // pixmaps.
    const PosterPictures pictures = picture.value<PosterPictures>();
    emit posterArrived(md5, sha1, pictures.picture, refusal);
    if (pictures.thumbnail.isNull())
        return;
    const QPixmap small = QPixmap::fromImage(pictures.thumbnail);
    thumbnails.insert(md5 + sha1, new QPixmap(small), int(small.width() * small.height() * 4));
    viewport()->update();
}

void GridWidget::useLoggingLayout()
{
    QHeaderView *header = horizontalHeader();
    // Left to right: what a logger reads and fills in; the notes last, so
    // they take the width that remains.
    int visual = 0;
    for (const QString &name : ShotColumns::loggingOrder()) {
        const int column = model->fieldIndex(name);
        if (column < 0)
            continue;
        header->moveSection(header->visualIndex(column), visual++);
    }
    for (int column = 0; column < model->columnCount(); ++column)
        setColumnHidden(column, false);
    for (const QString &name : ShotColumns::loggingHidden())
        hideColumn(model->fieldIndex(name));
    // Each column as wide as what its cells hold, within its room in this
    // layout, so that the layout fits a 1920-pixel screen beside the
    // History panel. A header's label may be cut where the cells need less
    // (its words are in its tooltip). The widths never depend on the width
    // the grid has now: the layout is made before the window is laid out.
    const int character = fontMetrics().averageCharWidth();
    for (int column = 0; column < model->columnCount(); ++column) {
        if (isColumnHidden(column))
            continue;
        const int label = qMin(header->sectionSizeHint(column), 8 * character);
        const int room = ShotColumns::loggingWidth(model->columnName(column)) * character;
        header->resizeSection(column, qMin(qMax(sizeHintForColumn(column), label), room));
    }
    const int posterColumn = model->fieldIndex(QStringLiteral("poster"));
    if (posterColumn >= 0)
        header->resizeSection(posterColumn, (verticalHeader()->defaultSectionSize() - 4) * 16 / 9 + 8);
    header->setStretchLastSection(true);
}

bool GridWidget::applyHeaderState(const QByteArray &state)
{
    // A state from before the columns changed does not fit them.
    if (!horizontalHeader()->restoreState(state) || horizontalHeader()->count() != model->columnCount())
        return false;
    // project stays hidden whatever was stored, and a stored sort only
    // takes effect through the model.
    hideColumn(model->fieldIndex(QStringLiteral("project")));
    horizontalHeader()->setStretchLastSection(true);
    sortByColumn(horizontalHeader()->sortIndicatorSection(), horizontalHeader()->sortIndicatorOrder());
    return true;
}

void GridWidget::setHeaderState(const QByteArray &state)
{
    if (!model->hasColumns()) {
        pendingHeaderState = state;
        return;
    }
    if (state.isEmpty() || !applyHeaderState(state))
        useLoggingLayout();
}

void GridWidget::setStartSort(const QString &column, Qt::SortOrder order)
{
    if (column.isEmpty() || model->hasColumns())
        return;
    // The first read comes in this order already: the layout restored
    // with the columns then asks for no second read.
    model->setSortName(column, order);
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
    // The rows held answer one more character typed without the server.
    model->setFind(typed, notYetLogged);
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
    if (!placeId.isValid() && startShot.isValid()) {
        // The first rows of a window: the shot the user was on last time.
        placeId = startShot;
        startShot = QVariant();
    }
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
    columnMenuPressed = false;
    // Ticking a column keeps the menu open, so several can be shown or
    // hidden in one go (see eventFilter).
    menu.installEventFilter(this);
    const int projectColumn = model->fieldIndex(QStringLiteral("project"));
    QList<QAction *> actions;
    auto updateEnabled = [this, &actions]() {
        int shown = 0;
        for (QAction *action : std::as_const(actions))
            shown += action->isChecked() ? 1 : 0;
        // The last column shown stays: a grid without columns cannot be
        // given them back through its header.
        for (QAction *action : std::as_const(actions))
            action->setEnabled(!action->isChecked() || shown > 1);
    };
    for (int visual = 0; visual < horizontalHeader()->count(); ++visual) {
        const int column = horizontalHeader()->logicalIndex(visual);
        if (column == projectColumn) // the same for every row
            continue;
        QAction *action = menu.addAction(model->headerData(column, Qt::Horizontal).toString());
        action->setCheckable(true);
        action->setChecked(!isColumnHidden(column));
        action->setToolTip(model->columnName(column));
        connect(action, &QAction::toggled, this, [this, column, updateEnabled](bool on) {
            setColumnHidden(column, !on);
            updateEnabled();
        });
        actions << action;
    }
    updateEnabled();
    menu.addSeparator();
    QAction *logging = menu.addAction(tr("Layout for Logging"));
    logging->setObjectName(QStringLiteral("loggingLayoutAction"));
    connect(logging, &QAction::triggered, this, &GridWidget::useLoggingLayout);
    menu.exec(horizontalHeader()->viewport()->mapToGlobal(position));
}

bool GridWidget::eventFilter(QObject *watched, QEvent *event)
{
    auto *menu = qobject_cast<QMenu *>(watched);
    if (menu && menu->objectName() == QLatin1String("columnMenu")) {
        QAction *action = nullptr;
        if (event->type() == QEvent::MouseButtonPress) {
            columnMenuPressed = menu->rect().contains(static_cast<QMouseEvent *>(event)->position().toPoint());
        } else if (event->type() == QEvent::MouseButtonRelease) {
            // The release of the right-click that opened the menu (held a
            // moment, the menu popped up under the pointer) is no choice:
            // only a click made in the menu ticks a column.
            if (columnMenuPressed)
                action = menu->actionAt(static_cast<QMouseEvent *>(event)->position().toPoint());
            columnMenuPressed = false;
        } else if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent *>(event)->key();
            if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)
                action = menu->activeAction();
        }
        if (action && action->isCheckable() && action->isEnabled()) {
            action->toggle();
            return true;
        }
    }
    return QTableView::eventFilter(watched, event);
}

void GridWidget::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier
        && state() != QAbstractItemView::EditingState) {
        clearSelectedCells();
        return;
    }
    QTableView::keyPressEvent(event);
}

void GridWidget::clearSelectedCells()
{
    QModelIndexList cells = selectionModel()->selectedIndexes();
    if (cells.isEmpty() && currentIndex().isValid())
        cells << currentIndex();
    // Per column, the shots whose cell empties; one save for all of them.
    QHash<int, QList<qlonglong>> shotsOf;
    QHash<int, QList<QVariant>> readsOf;
    QList<qlonglong> shots;
    ShotEdits *edits = model->edits();
    for (const QModelIndex &cell : std::as_const(cells)) {
        const int column = cell.column();
        if (isColumnHidden(column) || model->isReadOnlyColumn(column))
            continue;
        const qlonglong shot = model->shotOfRow(cell.row());
        shotsOf[column] << shot;
        readsOf[column] << model->editBase(cell.row(), column);
        if (!shots.contains(shot))
            shots << shot;
    }
    for (auto it = shotsOf.cbegin(); it != shotsOf.cend(); ++it)
        edits->typeMany(it.value(), model->columnName(it.key()), readsOf.value(it.key()), QVariant());
    if (!shots.isEmpty())
        edits->save(shots);
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
