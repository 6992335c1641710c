#pragma once

#include <QHash>
#include <QSet>
#include <QVariant>
#include <QWidget>

class QAbstractItemView;
class QCheckBox;
class QDataWidgetMapper;
class QFormLayout;
class QLabel;
class QLineEdit;
class QModelIndex;
class QSlider;
class QSpinBox;
class QTextEdit;
class NoticeBar;
class ShotTableModel;
class StillFrameView;

// The details form of one shot, bound to the grid's model through a widget
// mapper, with the shot's still frame beside it.
//
// The mapper only loads rows into the widgets; it never writes them back.
// The form itself notes which widgets the user changed and writes exactly
// those, all in one statement, to the row they belong to: before it shows
// another row, when the focus leaves the form, on Return in a line editor,
// before the rows are read again and when the main window closes. Each is
// written only over the value the form showed when the user began (see
// ShotTableModel::saveRow). What the database does not take stays in its
// field, marked as not saved, until it is saved or the user discards it;
// another client's change to the same field is put to the user in a bar
// above the fields.
class ShotInfoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit ShotInfoWidget(QWidget *parent = nullptr);
    ~ShotInfoWidget() override;

    // Binds the form to the grid's model; called once.
    void setModel(ShotTableModel *model);

    // Writes the user's pending changes of the current row, if any. Returns
    // false when the database refused them.
    bool saveChanges();
    // Shows the row of the given index, read again from the database, after
    // saving the row being left. Returns false, and stays, when what the
    // user typed in the row being left could not be saved.
    bool showRow(const QModelIndex &index);
    // Puts back the stored values of the fields not saved.
    void discardChanges();
    // Shows the view's current row from now on: clicking a cell or moving
    // there with the keys.
    void follow(QAbstractItemView *view);

    // Rows a change in the form applies to while several are selected in
    // the followed view; empty otherwise.
    QList<int> bulkSelection() const { return bulkRows; }

    bool hasUnsavedChanges() const;
    // Labels of the fields whose typed value is not saved.
    QStringList unsavedFields() const;
    // The column values the user changed in the current row and that differ
    // from what the form loaded.
    QHash<int, QVariant> pendingChanges() const;

    QDataWidgetMapper *mapper = nullptr;
    StillFrameView *frameView() const { return frame; }
    NoticeBar *conflictBar() const { return conflicts; }
    NoticeBar *unsavedBar() const { return unsavedNotice; }
    // What the form says while it has no shot to show (an empty project, or
    // a filter that matches nothing).
    void setNoShotHint(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void markEdited(QWidget *widget);
    void rowLoaded();
    void takeSnapshot();
    void clearFields();
    void updateFrame();
    void keepTyping(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void restoreTyping(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void rememberRow();
    void restoreRow();
    void focusChanged(QWidget *old, QWidget *now);
    void takeBack(int row, const QHash<int, QVariant> &values);
    void dropSaved(int row, const QList<int> &columns);
    void reloadField(QWidget *widget);
    void showMarks();
    void showConflicts();
    void resolveFirstConflict(bool writeMine);
    void clearNullWidgets();
    void updateAvailability();
    void updateBulk();
    void loadBulk();
    bool saveBulk();
    void setQualityEmpty(bool empty);
    void showQualityNumber();
    void setEmpty(QWidget *widget);
    QWidget *widgetOfColumn(int column) const;
    QString labelOf(const QWidget *widget) const;
    QList<QWidget *> fieldWidgets() const;

    QLabel *filenameLabel = nullptr;
    QTextEdit *locationEdit = nullptr;
    QLineEdit *sceneEdit = nullptr;
    QLineEdit *shotEdit = nullptr;
    QCheckBox *prodBox = nullptr;
    QLineEdit *durationEdit = nullptr;
    QSlider *qualitySlider = nullptr;
    QSpinBox *qualitySpin = nullptr; // the slider's number, and where digits go
    QLineEdit *takesEdit = nullptr;
    QLineEdit *relatedEdit = nullptr;
    QTextEdit *shotTypeEdit = nullptr;
    QLineEdit *descIdEdit = nullptr;
    QTextEdit *notesEdit = nullptr;
    QFormLayout *layout = nullptr;
    StillFrameView *frame = nullptr;
    QWidget *fieldsArea = nullptr;
    QLabel *noShotHint = nullptr;
    NoticeBar *conflicts = nullptr;
    NoticeBar *unsavedNotice = nullptr;

    ShotTableModel *shots = nullptr;
    QSet<QWidget *> edited;               // widgets the user changed
    QSet<QWidget *> unsaved;              // ... and the database did not take
    QHash<QWidget *, QVariant> loaded;    // their values as the row loaded
    QHash<QWidget *, QVariant> loadedStored; // the stored values behind them
    QHash<QWidget *, QVariant> typing;    // kept while the row is reloaded
    QVariant rememberedId;
    QHash<QWidget *, QVariant> keptTyping; // kept while all rows are read again
    QHash<QWidget *, QVariant> keptLoaded;
    QHash<QWidget *, QVariant> keptStored;
    QSet<QWidget *> keptUnsaved;
    QString unsavedReason;
    QHash<int, QVariant> lastRefused; // what the last failed save tried
    bool selfSaving = false;
    QAbstractItemView *followed = nullptr;
    QList<int> bulkRows; // sorted; two or more while a bulk edit is shown
};

// The value a form widget holds, in the form its column stores. An empty
// quality, production flag or duration is NULL: a partly checked box, a
// slider marked "empty", an empty duration field.
QVariant formWidgetValue(const QWidget *widget);
