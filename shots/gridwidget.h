#pragma once

#include <QTableView>
#include <QVariant>

class ShotTableModel;

// The table of the current project's shots. It owns the table model, which
// the details form shares; every edit in a cell is written at once.
class GridWidget : public QTableView
{
    Q_OBJECT

public:
    explicit GridWidget(QWidget *parent = nullptr);
    ~GridWidget() override;

    // Created without parent and never deleted: the details form may use it
    // for as long as the process runs.
    ShotTableModel *model = nullptr;

    // Writes what is typed in an open cell editor, if any (before closing).
    // Returns false when the database refused it.
    bool commitOpenEditor();

    // Narrows the rows to those holding every typed word and, when asked,
    // to shots not yet logged; the server filters. Pending edits are
    // written first and the user's place is kept when the shot stays.
    void setFind(const QString &typed, bool notYetLogged);
    // The number of the project's shots, filter or not (-1 when the server
    // cannot say).
    int projectShotCount() const;
    int projectId() const { return project; }
    // Makes the row delta rows away (in grid order) the current one, in the
    // same column; the form follows. False at either end.
    bool stepRow(int delta);

public slots:
    // Reads the rows again, with the filter and sort order in force, and
    // keeps the user's place: current cell, selection and scroll position.
    void update_request();

signals:
    void message(const QString &text);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;

private:
    void rememberPlace();
    void showColumnMenu(const QPoint &position);
    int project = 0;
    QString findText;
    bool findNotLogged = false;
    void restorePlace();

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
