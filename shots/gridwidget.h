#pragma once

#include <QByteArray>
#include <QCache>
#include <QImage>
#include <QPixmap>
#include <QTableView>
#include <QVariant>

#include "media/posterfetcher.h"

class QTimer;

class ShotEdits;
class ShotTableModel;

// The table of the current project's shots. It owns the table model, which
// the details form shares; every edit in a cell is saved when its editor
// closes. The rows are read on the database thread: the grid keeps its
// place (current cell, selection, scroll position) across every read.
class GridWidget : public QTableView
{
    Q_OBJECT

public:
    // edits: the window's drafts and undo stack, which outlive one grid.
    explicit GridWidget(QWidget *parent = nullptr, ShotEdits *edits = nullptr);
    ~GridWidget() override;

    // Created without parent and never deleted: the details form may use it
    // for as long as the process runs.
    ShotTableModel *model = nullptr;

    // Writes what is typed in an open cell editor, if any (before closing).
    // Returns false when nothing could be taken from it.
    bool commitOpenEditor();

    // Narrows the rows to those holding every typed word and, when asked,
    // to shots not yet logged; the server filters. The user's place is kept
    // when the shot stays.
    void setFind(const QString &typed, bool notYetLogged);
    // The number of the project's shots, filter or not (-1 when the server
    // could not say).
    int projectShotCount() const;
    int projectId() const { return project; }
    // Makes the row delta rows away (in grid order) the current one, in the
    // same column, selecting exactly that row's cell; the form follows.
    // False at either end.
    bool stepRow(int delta);

    // The header's layout (widths, order, hidden columns, sort), applied
    // once the columns are known; without one (or with one that no longer
    // fits the columns) the grid starts from its layout for logging.
    void setHeaderState(const QByteArray &state);
    QByteArray headerState() const;
    // The layout for logging: the descriptive columns first, sized to what
    // they hold, the digests hidden, the notes taking the remaining width.
    void useLoggingLayout();
    // The shot to make current when the rows first arrive (the one the
    // user was on when the window last closed); the first row without it.
    void setStartShot(const QVariant &id) { startShot = id; }
    // The order of the first read (the column's name), as last shown.
    void setStartSort(const QString &column, Qt::SortOrder order);
    // Clears the selected cells of editable columns (NULL), as one save.
    void clearSelectedCells();

    // Posters: fetched and decoded for the rows in view off the GUI thread,
    // on a database thread of their own, and kept in memory within a
    // bound. Null until the database is known to keep them.
    PosterFetcher *posters() const { return posterFetcher; }
    // A poster someone else shows too (the form's shot): fetched first,
    // and handed over by posterArrived, at once when it is there.
    void wantPoster(const QByteArray &md5, const QByteArray &sha1);
    // The picture the grid shows for a row (null while not there).
    QPixmap posterOfRow(int row) const;
    // The text a cell shows at its present width, as painted (a long path
    // keeps its file name: "raw/Day1/…/00007.MTS").
    QString cellText(const QModelIndex &index) const;

public slots:
    // Reads the rows again, with the filter and sort order in force, and
    // keeps the user's place: current cell, selection and scroll position.
    void update_request();

signals:
    void message(const QString &text);
    // A poster arrived as a picture at its stored size; a null picture
    // when the content has none, or when it was refused (refusal says why).
    void posterArrived(const QByteArray &md5, const QByteArray &sha1, const QImage &picture,
                       const QString &refusal);
    // The rows of a read are shown and the place is restored.
    void rowsShown();

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void setUpColumns();
    bool applyHeaderState(const QByteArray &state);
    void rememberPlace();
    void restorePlace();
    void showColumnMenu(const QPoint &position);
    void requestPosters();
    void posterReady(const QByteArray &md5, const QByteArray &sha1, const QVariant &picture, const QString &refusal);
    PosterFetcher::Content contentOfRow(int row) const;

    int project = 0;
    QString findText;
    bool findNotLogged = false;
    QByteArray pendingHeaderState;
    QVariant startShot;
    PosterFetcher *posterFetcher = nullptr;
    QTimer *posterTimer = nullptr;
    // A mouse button went down inside the open column menu: only its
    // release ticks a column.
    bool columnMenuPressed = false;
    mutable QCache<QByteArray, QPixmap> thumbnails; // by MD5 + SHA-1
    PosterFetcher::Content wanted;

    struct SelectedRange
    {
        QVariant topId;
        QVariant bottomId;
        int left = 0;
        int right = 0;
    };
    QList<SelectedRange> placeSelection;
    QVariant placeId;
    int placeColumn = -1;
    int placeScroll = 0;
    int placeSortColumn = -1;
    Qt::SortOrder placeSortOrder = Qt::AscendingOrder;
};
