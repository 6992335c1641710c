#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QStringList>
#include <QVariant>
#include <QWidget>

class QAbstractItemView;
class QCheckBox;
class QDataWidgetMapper;
class QFormLayout;
class QImage;
class QLabel;
class QLineEdit;
class QModelIndex;
class QSlider;
class QSpinBox;
class QTextEdit;
class NoticeBar;
class FieldCompleter;
class ShotEdits;
class ShotTableModel;
class StillFrameView;

// The details form of one shot (or of several selected whole rows, a bulk
// edit), bound to the grid's model through a widget mapper, with the shot's
// still frame beside it.
//
// The form holds widgets and their wiring, no edit state: what the user
// types goes to the model's edits as a draft of its shot (FormFieldDelegate
// converts between the widgets and the values), and the drafts are saved
// when the user moves to another shot, when the focus leaves the form, on
// Return in a one-line field (or, list closed, in a multi-line field that
// offers values) and before the window closes. The bars above
// the fields show what the database did not take (Try Again / Discard)
// and another client's change to a field the user changed too (Keep Stored
// Value / Write Mine).
class ShotInfoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit ShotInfoWidget(QWidget *parent = nullptr);
    ~ShotInfoWidget() override;

    // Binds the form to the grid's model; called once.
    void setModel(ShotTableModel *model);

    // Saves what is typed for the shot (or shots) shown. The save runs on
    // the database thread; what it does not write stays, marked.
    bool saveChanges();
    // Shows the row of the given index, after saving what was typed for the
    // shot being left; the row is read again meanwhile, so the form shows
    // what is stored now.
    bool showRow(const QModelIndex &index);
    // Drops the values the database did not take (the bar's Discard).
    void discardChanges();
    // Shows the view's current row from now on: clicking a cell or moving
    // there with the keys.
    void follow(QAbstractItemView *view);

    // Rows a change in the form applies to while several are selected in
    // the followed view; empty otherwise.
    QList<int> bulkSelection() const { return bulkRows; }

    // Values not in the database yet (typed, being saved or not saved), of
    // any shot.
    bool hasUnsavedChanges() const;
    // Labels of the fields (of any shot) whose value is not saved.
    QStringList unsavedFields() const;
    // The shot the form shows, or 0.
    qlonglong currentShot() const;
    // The field widget of a column, or null.
    QWidget *widgetOfColumn(const QString &column) const;
    QString columnOf(const QWidget *widget) const;
    // True while the user has typed into the field and it is not saved:
    // Undo then acts on the field's own text first.
    bool fieldHoldsTyping(const QWidget *widget) const;

    QDataWidgetMapper *mapper = nullptr;
    StillFrameView *frameView() const { return frame; }
    NoticeBar *conflictBar() const { return conflicts; }
    NoticeBar *unsavedBar() const { return unsavedNotice; }
    // What the form says while it has no shot to show (an empty project, or
    // a filter that matches nothing).
    void setNoShotHint(const QString &text);
    // Shows the form in bulk mode (several rows) or the mapper's row.
    bool isBulk() const { return !bulkRows.isEmpty(); }
    // Shows a stored value in a field, as showing a shot does, never as
    // typing; ignored while several shots are shown. The widget mapper's
    // delegate calls it for each field when the form moves to a row.
    void showStoredValue(QWidget *widget, const QVariant &value);
    // Puts the cursor into the first field Tab visits (Location in the
    // default order), at its end.
    void focusFirstField();
    // Lays the fields out, and lets Tab visit them, in the order of the
    // given columns (the grid's, as shown); fields of other columns follow
    // and take a click, Tab passes them. The followed grid's header calls
    // it whenever its columns move, hide or show.
    void arrangeFields(const QStringList &shownColumns);
    // The fields Tab visits, in order.
    QList<QWidget *> tabChain() const;
    // Puts the project's quick tag with that key (1 for Alt+1) on the shot
    // shown, or on every shot of a bulk edit, or takes it off when each of
    // them has it: one save, one change to undo. False when there is no
    // such tag or no shot.
    bool toggleTag(int key);
    QWidget *tagsView() const { return tagsRow; }
    // Copies a field's value from the shot above in grid order (Ctrl+D);
    // the takes count on (see Ditto::value).
    bool ditto(QWidget *widget);
    // A poster arrived, as posterWanted asked (a null picture: the content
    // has none, or it was refused, and refusal says why); shown when it is
    // the current shot's and its clip is not on this computer.
    void showPoster(const QByteArray &md5, const QByteArray &sha1, const QImage &picture, const QString &refusal);
    QLabel *posterView() const { return poster; }
    QLabel *factsView() const { return facts; }

signals:
    // The form would show this content's poster (MD5, SHA-1): its clip is
    // not on this computer. Whoever built the form answers with showPoster.
    void posterWanted(const QByteArray &md5, const QByteArray &sha1);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void bindColumns();
    void typed(QWidget *widget);
    void showMarks();
    void showConflicts();
    void focusChanged(QWidget *old, QWidget *now);
    void updateAvailability();
    void updateBulk();
    void loadBulk();
    void rowShown();
    void setQualityEmpty(bool empty);
    void showQualityNumber();
    void setEmpty(QWidget *widget);
    void showTagButtons();
    void updateTagButtons();
    void arrangeAsFollowed();
    void updateFrame();
    void modelChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void rowsReplaced();
    QString labelOf(const QWidget *widget) const;
    QList<QWidget *> fieldWidgets() const;
    QList<qlonglong> shownShots() const;
    ShotEdits *edits() const;

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
    QWidget *qualityRow = nullptr; // the slider and its number
    QWidget *tagsRow = nullptr;    // a toggle button per quick tag
    QStringList arranged;          // the columns the fields were last laid out by
    bool arrangeDue = false;
    QFormLayout *layout = nullptr;
    StillFrameView *frame = nullptr;
    QLabel *poster = nullptr; // beside the fields when the clip is not here
    QLabel *facts = nullptr;  // what the sync read from the clip's media
    QPair<QByteArray, QByteArray> posterContent; // whose poster the form wants
    QWidget *fieldsArea = nullptr;
    QLabel *noShotHint = nullptr;
    NoticeBar *conflicts = nullptr;
    NoticeBar *unsavedNotice = nullptr;

    ShotTableModel *shots = nullptr;
    QAbstractItemView *followed = nullptr;
    QList<int> bulkRows; // sorted; two or more while a bulk edit is shown
    bool typing = false; // a change of the user's own is reaching the model
    int loading = 0;     // the form is setting its widgets, not the user
    bool bound = false;
    bool bulkReloadDue = false;
    QHash<QString, FieldCompleter *> completers; // by column
    QPair<QString, QString> framedShot{QStringLiteral("\n"), QString()}; // file and MD5 the frame shows
};

// The value a form widget holds, in the form its column stores. An empty
// quality, production flag or duration is NULL: a partly checked box, a
// slider marked "empty", an empty duration field.
QVariant formWidgetValue(const QWidget *widget);
