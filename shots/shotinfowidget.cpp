#include "shots/shotinfowidget.h"

#include "shots/noticebar.h"
#include "shots/plaintext.h"
#include "shots/shottablemodel.h"
#include "shots/shotwriter.h"
#include "shots/stillframeview.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDataWidgetMapper>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QTableView>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>

ShotInfoWidget::ShotInfoWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("info"));
    mapper = new QDataWidgetMapper(this);
    filenameLabel = new QLabel(this);
    locationEdit = new QTextEdit(this);
    locationEdit->setAcceptRichText(false);
    sceneEdit = new QLineEdit(this);
    shotEdit = new QLineEdit(this);
    prodBox = new QCheckBox(this);
    durationEdit = new QLineEdit(this);
    qualitySlider = new QSlider(this);
    qualitySlider->setOrientation(Qt::Horizontal);
    qualitySpin = new QSpinBox(this);
    // -1 is the empty quality (NULL), shown as an empty box.
    qualitySpin->setRange(-1, qualitySlider->maximum());
    qualitySpin->setSpecialValueText(QStringLiteral(" "));
    qualitySpin->setObjectName(QStringLiteral("qualitySpin"));
    qualitySpin->setToolTip(QStringLiteral("Quality, 0 to 99. Delete makes it empty."));
    takesEdit = new QLineEdit(this);
    relatedEdit = new QLineEdit(this);
    shotTypeEdit = new QTextEdit(this);
    shotTypeEdit->setAcceptRichText(false);
    descIdEdit = new QLineEdit(this);
    notesEdit = new QTextEdit(this);
    notesEdit->setAcceptDrops(false);
    layout = new QFormLayout;

    filenameLabel->setObjectName(QStringLiteral("filenameLabel"));
    filenameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A file name is never markup, whatever characters it holds.
    filenameLabel->setTextFormat(Qt::PlainText);
    locationEdit->setObjectName(QStringLiteral("locationEdit"));
    sceneEdit->setObjectName(QStringLiteral("sceneEdit"));
    shotEdit->setObjectName(QStringLiteral("shotEdit"));
    prodBox->setObjectName(QStringLiteral("prodBox"));
    durationEdit->setObjectName(QStringLiteral("durationEdit"));
    // An empty duration is no duration: NULL, not an empty text.
    durationEdit->setProperty("emptyIsNull", true);
    prodBox->setToolTip(QStringLiteral("Partly checked: not set. Delete sets it back."));
    qualitySlider->setObjectName(QStringLiteral("qualitySlider"));
    takesEdit->setObjectName(QStringLiteral("takesEdit"));
    relatedEdit->setObjectName(QStringLiteral("relatedEdit"));
    shotTypeEdit->setObjectName(QStringLiteral("shotTypeEdit"));
    descIdEdit->setObjectName(QStringLiteral("descIdEdit"));
    notesEdit->setObjectName(QStringLiteral("notesEdit"));
    for (QTextEdit *edit : {locationEdit, shotTypeEdit, notesEdit}) {
        edit->setMinimumHeight(48);
        // Tab moves on to the next field, as everywhere else in the form.
        edit->setTabChangesFocus(true);
    }

    // The fields scroll, so the splitter can give the grid most of the room.
    auto *fields = new QWidget;
    fields->setLayout(layout);
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("fieldsArea"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(fields);
    fieldsArea = scroll;
    noShotHint = new QLabel(this);
    noShotHint->setObjectName(QStringLiteral("noShotHint"));
    noShotHint->setWordWrap(true);
    noShotHint->setTextFormat(Qt::PlainText);
    noShotHint->setText(QStringLiteral("This project has no shots yet. Use Sync Project in the project "
                                       "chooser (File > Change Project...) to list its clips."));
    noShotHint->hide();
    frame = new StillFrameView(this);
    conflicts = new NoticeBar(QStringLiteral("Keep Stored Value"), QStringLiteral("Write Mine"), this);
    conflicts->setObjectName(QStringLiteral("conflictBar"));
    unsavedNotice = new NoticeBar(QStringLiteral("Try Again"), QStringLiteral("Discard"), this);
    unsavedNotice->setObjectName(QStringLiteral("unsavedBar"));
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(2);
    outer->addWidget(conflicts);
    outer->addWidget(unsavedNotice);
    outer->addWidget(noShotHint);
    auto *pane = new QHBoxLayout;
    pane->setContentsMargins(0, 0, 0, 0);
    pane->addWidget(scroll, 3);
    pane->addWidget(frame, 2);
    outer->addLayout(pane, 1);
    connect(conflicts, &NoticeBar::firstChosen, this, [this]() { resolveFirstConflict(false); });
    connect(conflicts, &NoticeBar::secondChosen, this, [this]() { resolveFirstConflict(true); });
    connect(unsavedNotice, &NoticeBar::firstChosen, this, [this]() { saveChanges(); });
    connect(unsavedNotice, &NoticeBar::secondChosen, this, &ShotInfoWidget::discardChanges);

    // Only signals that come from the user mark a widget as changed; loading
    // a row sets the widgets too, and that must never count as an edit.
    for (QLineEdit *edit : {sceneEdit, shotEdit, durationEdit, takesEdit, relatedEdit, descIdEdit}) {
        connect(edit, &QLineEdit::textEdited, this, [this, edit]() { markEdited(edit); });
        connect(edit, &QLineEdit::returnPressed, this, [this]() { saveChanges(); });
    }
    for (QTextEdit *edit : {locationEdit, shotTypeEdit, notesEdit})
        connect(edit->document(), &QTextDocument::undoCommandAdded, this,
                [this, edit]() { markEdited(edit); });
    connect(prodBox, &QCheckBox::clicked, this, [this]() {
        // Partly checked only ever means NULL; a click sets yes or no.
        if (prodBox->checkState() != Qt::PartiallyChecked)
            prodBox->setTristate(false);
        markEdited(prodBox);
    });
    connect(qualitySlider, &QSlider::actionTriggered, this, [this]() {
        setQualityEmpty(false);
        markEdited(qualitySlider);
    });
    connect(qualitySlider, &QSlider::valueChanged, this, &ShotInfoWidget::showQualityNumber);
    connect(qualitySpin, &QSpinBox::valueChanged, this, [this](int value) {
        if (qualitySpin->signalsBlocked() || !qualitySpin->hasFocus())
            return;
        if (value < 0) {
            setEmpty(qualitySlider);
            return;
        }
        setQualityEmpty(false);
        qualitySlider->setValue(value);
        markEdited(qualitySlider);
    });
    for (QWidget *widget : {static_cast<QWidget *>(prodBox), static_cast<QWidget *>(durationEdit),
                            static_cast<QWidget *>(qualitySlider), static_cast<QWidget *>(qualitySpin)})
        widget->installEventFilter(this);


    connect(qApp, &QApplication::focusChanged, this, &ShotInfoWidget::focusChanged);
}

ShotInfoWidget::~ShotInfoWidget() = default;

QList<QWidget *> ShotInfoWidget::fieldWidgets() const
{
    return {locationEdit, sceneEdit, shotEdit, prodBox, durationEdit, qualitySlider,
            takesEdit, relatedEdit, shotTypeEdit, descIdEdit, notesEdit};
}

void ShotInfoWidget::setModel(ShotTableModel *model)
{
    shots = model;
    // Runs before the mapper reloads a row that changed in the model, and
    // restoreTyping after it: what the user typed but has not saved yet
    // survives a change of other columns of the same row.
    connect(model, &QAbstractItemModel::dataChanged, this, &ShotInfoWidget::keepTyping);
    mapper->setModel(model);
    connect(model, &QAbstractItemModel::dataChanged, this, &ShotInfoWidget::restoreTyping);
    connect(model, &ShotTableModel::aboutToSelect, this, &ShotInfoWidget::rememberRow);
    connect(model, &QAbstractItemModel::modelReset, this, &ShotInfoWidget::restoreRow);
    connect(model, &ShotTableModel::valuesNotSaved, this, &ShotInfoWidget::takeBack);
    connect(model, &ShotTableModel::valuesSaved, this, &ShotInfoWidget::dropSaved);
    connect(model, &ShotTableModel::conflictsChanged, this, &ShotInfoWidget::showConflicts);
    connect(model, &ShotTableModel::saveFailed, this, [this](const QString &text) { unsavedReason = text; });

    mapper->setSubmitPolicy(QDataWidgetMapper::ManualSubmit);
    mapper->addMapping(filenameLabel, model->fieldIndex("filename"), "text");
    mapper->addMapping(locationEdit, model->fieldIndex("location"), "plainText");
    mapper->addMapping(sceneEdit, model->fieldIndex("scene"));
    mapper->addMapping(shotEdit, model->fieldIndex("shot"));
    mapper->addMapping(prodBox, model->fieldIndex("prod"), "checked");
    mapper->addMapping(durationEdit, model->fieldIndex("duration"));
    mapper->addMapping(qualitySlider, model->fieldIndex("quality"), "value");
    mapper->addMapping(takesEdit, model->fieldIndex("takes"));
    mapper->addMapping(relatedEdit, model->fieldIndex("related"));
    mapper->addMapping(shotTypeEdit, model->fieldIndex("shottype"), "plainText");
    mapper->addMapping(descIdEdit, model->fieldIndex("descid"));
    mapper->addMapping(notesEdit, model->fieldIndex("notes"), "plainText");
    mapper->toFirst();
    rowLoaded();
    updateAvailability();

    layout->addRow("Filename", filenameLabel);
    layout->addRow("Location", locationEdit);
    layout->addRow("Scene", sceneEdit);
    layout->addRow("Shot", shotEdit);
    layout->addRow("Production", prodBox);
    layout->addRow("Duration (s)", durationEdit);
    auto *quality = new QWidget;
    auto *qualityRow = new QHBoxLayout(quality);
    qualityRow->setContentsMargins(0, 0, 0, 0);
    qualityRow->addWidget(qualitySlider, 1);
    qualityRow->addWidget(qualitySpin);
    layout->addRow("Quality", quality);
    // The row's label belongs to the slider (labelOf finds it there).
    if (auto *label = qobject_cast<QLabel *>(layout->labelForField(quality)))
        label->setBuddy(qualitySlider);
    // Tab walks the fields top to bottom, the quality's number after its
    // slider, also out of the free-text editors. Set here, once the fields
    // sit in their rows: a new parent puts a widget at the end of the chain.
    QWidget *previous = locationEdit;
    for (QWidget *next : {static_cast<QWidget *>(sceneEdit), static_cast<QWidget *>(shotEdit),
                          static_cast<QWidget *>(prodBox), static_cast<QWidget *>(durationEdit),
                          static_cast<QWidget *>(qualitySlider), static_cast<QWidget *>(qualitySpin),
                          static_cast<QWidget *>(takesEdit), static_cast<QWidget *>(relatedEdit),
                          static_cast<QWidget *>(shotTypeEdit), static_cast<QWidget *>(descIdEdit),
                          static_cast<QWidget *>(notesEdit)}) {
        setTabOrder(previous, next);
        previous = next;
    }
    layout->addRow("Takes", takesEdit);
    layout->addRow("Related Object ID's", relatedEdit);
    layout->addRow("Shot Type", shotTypeEdit);
    layout->addRow("Description ID", descIdEdit);
    layout->addRow("Notes", notesEdit);
}

QVariant formWidgetValue(const QWidget *widget)
{
    if (auto *edit = qobject_cast<const QLineEdit *>(widget)) {
        if (edit->text().isEmpty() && edit->property("emptyIsNull").toBool())
            return QVariant(QMetaType::fromType<QString>());
        return edit->text();
    }
    if (auto *edit = qobject_cast<const QTextEdit *>(widget))
        return edit->toPlainText();
    if (auto *box = qobject_cast<const QCheckBox *>(widget)) {
        if (box->checkState() == Qt::PartiallyChecked)
            return QVariant(QMetaType::fromType<int>());
        return box->isChecked() ? 1 : 0;
    }
    if (auto *slider = qobject_cast<const QSlider *>(widget)) {
        if (slider->property("empty").toBool())
            return QVariant(QMetaType::fromType<int>());
        return slider->value();
    }
    return QVariant();
}

namespace {
// Empty (NULL) and 0 or "" are different values in the form.
bool sameFormValue(const QVariant &a, const QVariant &b)
{
    return a.isNull() == b.isNull() && a == b;
}

void setFormWidgetValue(QWidget *widget, const QVariant &value)
{
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        edit->setText(value.toString());
    else if (auto *edit = qobject_cast<QTextEdit *>(widget))
        edit->setPlainText(value.toString());
    else if (auto *box = qobject_cast<QCheckBox *>(widget)) {
        if (value.isNull()) {
            box->setCheckState(Qt::PartiallyChecked);
        } else {
            box->setTristate(false);
            box->setChecked(value.toInt() != 0);
        }
    } else if (auto *slider = qobject_cast<QSlider *>(widget)) {
        slider->setProperty("empty", value.isNull());
        slider->setValue(value.isNull() ? slider->minimum() : value.toInt());
    }
}
} // namespace

void ShotInfoWidget::markEdited(QWidget *widget)
{
    if (shots && mapper->currentIndex() >= 0)
        edited.insert(widget);
}

QHash<int, QVariant> ShotInfoWidget::pendingChanges() const
{
    QHash<int, QVariant> changes;
    if (!shots || mapper->currentIndex() < 0)
        return changes;
    for (QWidget *widget : edited) {
        const QVariant value = formWidgetValue(widget);
        // Compared with what the row loaded, not with the column: a quality
        // of 150 loads as the slider's end and is not rewritten as 99 unless
        // the user moves the slider, and an edit undone is no edit.
        if (sameFormValue(value, loaded.value(widget)))
            continue;
        const int column = mapper->mappedSection(widget);
        if (column >= 0)
            changes.insert(column, value);
    }
    return changes;
}

bool ShotInfoWidget::hasUnsavedChanges() const
{
    return !pendingChanges().isEmpty();
}

QStringList ShotInfoWidget::unsavedFields() const
{
    QStringList labels;
    const QHash<int, QVariant> changes = pendingChanges();
    for (QWidget *widget : fieldWidgets()) {
        if (changes.contains(mapper->mappedSection(widget)))
            labels << labelOf(widget);
    }
    return labels;
}

QString ShotInfoWidget::labelOf(const QWidget *widget) const
{
    if (auto *label = qobject_cast<QLabel *>(layout->labelForField(const_cast<QWidget *>(widget))))
        return label->text();
    return widget->objectName();
}

QWidget *ShotInfoWidget::widgetOfColumn(int column) const
{
    for (QWidget *widget : fieldWidgets()) {
        if (mapper->mappedSection(widget) == column)
            return widget;
    }
    return nullptr;
}

void ShotInfoWidget::updateBulk()
{
    if (!shots || !followed || shots->isBusy())
        return;
    // Whole rows (picked on the row numbers, with Shift+Space or Ctrl+A)
    // make a bulk edit; cells of several rows picked for copying do not.
    // A selection skips hidden columns, so a row counts as whole when
    // every shown column of it is selected.
    auto *table = qobject_cast<QTableView *>(followed);
    auto shownIn = [table](int left, int right) {
        int count = 0;
        for (int column = left; column <= right; ++column)
            count += table && table->isColumnHidden(column) ? 0 : 1;
        return count;
    };
    const int shownColumns = shownIn(0, shots->columnCount() - 1);
    QHash<int, int> selectedCells;
    const QItemSelection selection = followed->selectionModel()->selection();
    for (const QItemSelectionRange &range : selection) {
        const int cells = shownIn(range.left(), range.right());
        for (int row = range.top(); row <= range.bottom(); ++row)
            selectedCells[row] += cells;
    }
    QList<int> rows;
    for (auto it = selectedCells.cbegin(); it != selectedCells.cend(); ++it) {
        if (it.value() >= shownColumns)
            rows << it.key();
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.size() < 2)
        rows.clear();
    if (rows == bulkRows)
        return;
    // What was typed for the rows shown so far goes to them first.
    saveChanges();
    const bool wasBulk = !bulkRows.isEmpty();
    bulkRows = rows;
    if (!bulkRows.isEmpty()) {
        loadBulk();
    } else if (wasBulk && mapper->currentIndex() >= 0) {
        mapper->revert(); // the current row's own values again
        rowLoaded();
    }
}

void ShotInfoWidget::loadBulk()
{
    // A field shows its value when every selected shot holds the same,
    // and stays empty with a hint otherwise.
    const QString several = QStringLiteral("(several values)");
    for (QWidget *widget : fieldWidgets()) {
        const int column = mapper->mappedSection(widget);
        bool same = true;
        const QVariant first = shots->storedValue(bulkRows.first(), column);
        for (int i = 1; i < bulkRows.size() && same; ++i)
            same = ShotWriter::sameStored(first, shots->storedValue(bulkRows.at(i), column));
        const QVariant shown = same ? shots->data(shots->index(bulkRows.first(), column), Qt::EditRole)
                                    : QVariant(QMetaType::fromType<QString>());
        if (widget == prodBox || widget == qualitySlider)
            setFormWidgetValue(widget, shown.isNull() ? QVariant(QMetaType::fromType<int>()) : shown);
        else
            setFormWidgetValue(widget, shown.isNull() ? QVariant(QString()) : shown);
        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            edit->setPlaceholderText(same ? QString() : several);
        else if (auto *edit = qobject_cast<QTextEdit *>(widget))
            edit->setPlaceholderText(same ? QString() : several);
    }
    showQualityNumber();
    edited.clear();
    unsaved.clear();
    loaded.clear();
    for (QWidget *widget : fieldWidgets())
        loaded.insert(widget, formWidgetValue(widget));
    filenameLabel->setText(QStringLiteral("%1 shots selected: a change applies to each of them").arg(bulkRows.size()));
    showMarks();
}

bool ShotInfoWidget::saveBulk()
{
    const QHash<int, QVariant> changes = pendingChanges();
    if (changes.isEmpty())
        return true;
    selfSaving = true;
    const bool ok = shots->saveColumns(bulkRows, changes);
    selfSaving = false;
    loadBulk();
    return ok;
}

bool ShotInfoWidget::saveChanges()
{
    if (!bulkRows.isEmpty() && shots)
        return saveBulk();
    const int row = mapper->currentIndex();
    const QHash<int, QVariant> changes = pendingChanges();
    if (changes.isEmpty() || row < 0) {
        edited.clear();
        unsaved.clear();
        showMarks();
        return true;
    }
    QHash<int, QVariant> olds;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        olds.insert(it.key(), loadedStored.value(widgetOfColumn(it.key())));
    selfSaving = true;
    const bool ok = shots->saveRow(row, changes, olds);
    selfSaving = false;

    // Saved fields and those another client changed now show what is
    // stored (the user's value of the latter waits in the conflict bar);
    // what the database did not take stays as typed.
    const ShotTableModel::Outcome &outcome = shots->lastOutcome();
    const QList<QWidget *> widgets(edited.cbegin(), edited.cend());
    for (QWidget *widget : widgets) {
        const int column = mapper->mappedSection(widget);
        if (!changes.contains(column) || outcome.saved.contains(column)
            || outcome.conflicted.contains(column)) {
            edited.remove(widget);
            unsaved.remove(widget);
            reloadField(widget);
        } else if (outcome.unsaved.contains(column)) {
            unsaved.insert(widget);
        }
    }
    lastRefused.clear();
    if (!outcome.unsaved.isEmpty())
        lastRefused = pendingChanges();
    showMarks();
    return ok;
}

void ShotInfoWidget::reloadField(QWidget *widget)
{
    const int row = mapper->currentIndex();
    const int column = mapper->mappedSection(widget);
    if (row < 0 || column < 0)
        return;
    const QVariant shown = shots->data(shots->index(row, column), Qt::EditRole);
    setFormWidgetValue(widget, shown);
    showQualityNumber();
    loaded.insert(widget, formWidgetValue(widget));
    loadedStored.insert(widget, shots->storedValue(row, column));
}

void ShotInfoWidget::discardChanges()
{
    const QList<QWidget *> widgets(edited.cbegin(), edited.cend());
    edited.clear();
    unsaved.clear();
    for (QWidget *widget : widgets)
        reloadField(widget);
    showMarks();
}

void ShotInfoWidget::takeBack(int row, const QHash<int, QVariant> &values)
{
    // A cell edit the database did not take: the typed value moves into the
    // form, which shows the same row, instead of being thrown away.
    if (selfSaving || row != mapper->currentIndex())
        return;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        QWidget *widget = widgetOfColumn(it.key());
        if (!widget)
            continue;
        if (!edited.contains(widget)) {
            loaded.insert(widget, formWidgetValue(widget));
            loadedStored.insert(widget, shots->storedValue(row, it.key()));
        }
        setFormWidgetValue(widget, it.value());
        edited.insert(widget);
        unsaved.insert(widget);
    }
    showMarks();
}

void ShotInfoWidget::dropSaved(int row, const QList<int> &columns)
{
    // A cell edit of a field the form holds unsaved supersedes the form's value.
    if (selfSaving || row != mapper->currentIndex())
        return;
    for (int column : columns) {
        QWidget *widget = widgetOfColumn(column);
        if (widget && edited.contains(widget)) {
            edited.remove(widget);
            unsaved.remove(widget);
            reloadField(widget);
        }
    }
    showMarks();
}

void ShotInfoWidget::showMarks()
{
    QStringList labels;
    for (QWidget *widget : fieldWidgets()) {
        const bool mark = unsaved.contains(widget);
        if (widget->property("unsaved").toBool() == mark)
            ;
        else {
            widget->setProperty("unsaved", mark);
            widget->setStyleSheet(mark ? QStringLiteral("background-color: #ffd7d0;") : QString());
            widget->setToolTip(mark ? QStringLiteral("Not saved") : QString());
        }
        if (mark)
            labels << labelOf(widget);
    }
    if (labels.isEmpty()) {
        unsavedNotice->hide();
        return;
    }
    QString text = QStringLiteral("Not saved: %1.").arg(labels.join(QStringLiteral(", ")));
    if (!unsavedReason.isEmpty())
        text += QLatin1Char(' ') + unsavedReason;
    unsavedNotice->setText(text);
    unsavedNotice->show();
}

void ShotInfoWidget::showConflicts()
{
    const QList<ShotTableModel::Conflict> list = shots ? shots->conflicts() : QList<ShotTableModel::Conflict>();
    if (list.isEmpty()) {
        conflicts->hide();
        return;
    }
    const ShotTableModel::Conflict &first = list.first();
    QWidget *widget = widgetOfColumn(first.column);
    const QString field = widget ? labelOf(widget) : shots->headerData(first.column, Qt::Horizontal).toString();
    auto shown = [](const QVariant &value) {
        return value.isNull() ? QStringLiteral("(empty)")
                              : QStringLiteral("\u201c%1\u201d").arg(PlainText::fromStored(value.toString()));
    };
    QString text = QStringLiteral("Shot %1, %2: another client stored %3 after you read it; you wrote %4.")
                       .arg(first.id.toString(), field, shown(first.stored), shown(first.mine));
    if (list.size() > 1)
        text += QStringLiteral(" (%1 more after this.)").arg(list.size() - 1);
    conflicts->setText(text);
    conflicts->show();
}

void ShotInfoWidget::resolveFirstConflict(bool writeMine)
{
    if (!shots || shots->conflicts().isEmpty())
        return;
    shots->resolveConflict(0, writeMine);
}

bool ShotInfoWidget::showRow(const QModelIndex &index)
{
    if (!shots || !index.isValid() || index.row() == mapper->currentIndex())
        return true;
    if (shots->isBusy()) {
        // The rows are being read again (the grid puts its current cell
        // back); restoreRow then brings back what the user typed.
        mapper->setCurrentIndex(index.row());
        rowLoaded();
        return true;
    }
    saveChanges();
    if (!unsaved.isEmpty())
        return false;
    // The row moved to is read again, so the form starts from what is
    // stored now, not from what was read when the grid was filled.
    shots->refreshRow(index.row());
    mapper->setCurrentIndex(index.row());
    rowLoaded();
    return true;
}

void ShotInfoWidget::follow(QAbstractItemView *view)
{
    followed = view;
    // Several rows selected: a change in the form applies to all of them.
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ShotInfoWidget::updateBulk);
    // A reset drops the selection without a signal; the rows it named
    // are not those of the new rows. The view selects again afterwards.
    connect(view->model(), &QAbstractItemModel::modelAboutToBeReset, this, [this]() { bulkRows.clear(); });
    connect(view, &QAbstractItemView::clicked, this, &ShotInfoWidget::showRow);
    connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this, view](const QModelIndex &current) {
                if (showRow(current))
                    return;
                // What the user typed in the row being left was not saved:
                // the grid goes back to that row, whose fields keep it.
                const QModelIndex back = current.sibling(mapper->currentIndex(), current.column());
                view->selectionModel()->setCurrentIndex(back, QItemSelectionModel::ClearAndSelect);
            });
}

void ShotInfoWidget::setQualityEmpty(bool empty)
{
    qualitySlider->setProperty("empty", empty);
    showQualityNumber();
}

void ShotInfoWidget::showQualityNumber()
{
    const QSignalBlocker block(qualitySpin);
    qualitySpin->setValue(qualitySlider->property("empty").toBool() ? qualitySpin->minimum()
                                                                     : qualitySlider->value());
}

void ShotInfoWidget::setEmpty(QWidget *widget)
{
    if (widget == qualitySpin)
        widget = qualitySlider;
    if (formWidgetValue(widget).isNull())
        return;
    setFormWidgetValue(widget, QVariant(QMetaType::fromType<int>()));
    showQualityNumber();
    markEdited(widget);
}

bool ShotInfoWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    auto *widget = static_cast<QWidget *>(watched);
    const bool plain = !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    // Delete on the production flag or the quality sets it back to empty;
    // on the duration, when the text is gone or all selected.
    if (key->key() == Qt::Key_Delete && plain) {
        if (widget == durationEdit) {
            if (!durationEdit->text().isEmpty() && durationEdit->selectedText() != durationEdit->text())
                return false;
            durationEdit->clear();
            markEdited(durationEdit);
            return true;
        }
        setEmpty(widget);
        return true;
    }
    // Digits typed on the slider go into its number.
    if (widget == qualitySlider && plain && key->text().size() == 1 && key->text().at(0).isDigit()) {
        qualitySpin->setFocus(Qt::OtherFocusReason);
        qualitySpin->selectAll();
        QKeyEvent copy(QEvent::KeyPress, key->key(), key->modifiers(), key->text());
        QApplication::sendEvent(qualitySpin->findChild<QLineEdit *>(), &copy);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void ShotInfoWidget::setNoShotHint(const QString &text)
{
    noShotHint->setText(text);
}

void ShotInfoWidget::updateAvailability()
{
    // Without a current shot there is nothing to write typing to: the
    // fields are disabled, and the hint says how shots get there.
    const bool hasShot = shots && mapper->currentIndex() >= 0;
    fieldsArea->setEnabled(hasShot);
    noShotHint->setVisible(!hasShot);
}

void ShotInfoWidget::rowLoaded()
{
    edited.clear();
    unsaved.clear();
    typing.clear();
    takeSnapshot();
    showMarks();
    updateFrame();
    updateAvailability();
    if (!bulkRows.isEmpty()) {
        loadBulk();
        return;
    }
    for (QWidget *widget : fieldWidgets()) {
        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            edit->setPlaceholderText(QString());
        else if (auto *edit = qobject_cast<QTextEdit *>(widget))
            edit->setPlaceholderText(QString());
    }
}

void ShotInfoWidget::clearNullWidgets()
{
    // The mapper cannot set a check box or a slider from NULL and would
    // leave the previous row's state there; NULL shows as cleared.
    const int row = mapper->currentIndex();
    if (row < 0)
        return;
    if (shots->storedValue(row, mapper->mappedSection(prodBox)).isNull())
        prodBox->setCheckState(Qt::PartiallyChecked);
    else
        prodBox->setTristate(false);
    const bool noQuality = shots->storedValue(row, mapper->mappedSection(qualitySlider)).isNull();
    if (noQuality)
        qualitySlider->setValue(qualitySlider->minimum());
    setQualityEmpty(noQuality);
}

void ShotInfoWidget::takeSnapshot()
{
    clearNullWidgets();
    const int row = mapper->currentIndex();
    loaded.clear();
    loadedStored.clear();
    for (QWidget *widget : fieldWidgets()) {
        loaded.insert(widget, formWidgetValue(widget));
        if (row >= 0)
            loadedStored.insert(widget, shots->storedValue(row, mapper->mappedSection(widget)));
    }
}

void ShotInfoWidget::clearFields()
{
    filenameLabel->clear();
    for (QTextEdit *edit : {locationEdit, shotTypeEdit, notesEdit})
        edit->clear();
    for (QLineEdit *edit : {sceneEdit, shotEdit, durationEdit, takesEdit, relatedEdit, descIdEdit})
        edit->clear();
    prodBox->setCheckState(Qt::PartiallyChecked);
    qualitySlider->setValue(qualitySlider->minimum());
    setQualityEmpty(true);
}

void ShotInfoWidget::updateFrame()
{
    const int row = mapper->currentIndex();
    if (!shots || row < 0) {
        frame->showShot(QString(), QString());
        return;
    }
    frame->showShot(shots->data(shots->index(row, shots->fieldIndex("filename"))).toString(),
                    shots->data(shots->index(row, shots->fieldIndex("MD5"))).toString());
}

void ShotInfoWidget::keepTyping(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    const int row = mapper->currentIndex();
    typing.clear();
    if (row < topLeft.row() || row > bottomRight.row())
        return;
    for (QWidget *widget : edited)
        typing.insert(widget, formWidgetValue(widget));
}

void ShotInfoWidget::restoreTyping(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    const int row = mapper->currentIndex();
    if (row < topLeft.row() || row > bottomRight.row())
        return;
    // The mapper has shown the row as stored now. Fields the user is
    // editing get their typed value back and keep the value they started
    // from (the old value their save is checked against); the others take
    // the new stored value as their starting point.
    clearNullWidgets();
    for (QWidget *widget : fieldWidgets()) {
        if (typing.contains(widget) && !sameFormValue(typing.value(widget), loaded.value(widget))) {
            setFormWidgetValue(widget, typing.value(widget));
            continue;
        }
        edited.remove(widget);
        unsaved.remove(widget);
        loaded.insert(widget, formWidgetValue(widget));
        loadedStored.insert(widget, shots->storedValue(row, mapper->mappedSection(widget)));
    }
    typing.clear();
    showMarks();
    updateFrame();
}

void ShotInfoWidget::rememberRow()
{
    // Refresh: the user's pending edits are saved first. Inside a save (a
    // reconnect re-reads every row) they are only kept.
    if (!shots->isBusy())
        saveChanges();
    const int row = mapper->currentIndex();
    rememberedId = row >= 0 ? shots->idOfRow(row) : QVariant();
    keptTyping.clear();
    keptLoaded.clear();
    keptStored.clear();
    keptUnsaved = unsaved;
    for (QWidget *widget : edited) {
        const QVariant value = formWidgetValue(widget);
        if (sameFormValue(value, loaded.value(widget)))
            continue;
        keptTyping.insert(widget, value);
        keptLoaded.insert(widget, loaded.value(widget));
        keptStored.insert(widget, loadedStored.value(widget));
    }
}

void ShotInfoWidget::restoreRow()
{
    // The grid may have shown the shot again already (it keeps its current
    // row); looking for it among all rows once more would cost time.
    const int shown = mapper->currentIndex();
    int row = -1;
    if (shown >= 0 && shown < shots->rowCount() && shots->idOfRow(shown) == rememberedId)
        row = shown;
    else
        row = shots->rowOfId(rememberedId);
    if (row >= 0)
        mapper->setCurrentIndex(row);
    else if (shots->rowCount() > 0)
        mapper->toFirst();
    else
        clearFields();
    rowLoaded();
    if (row < 0)
        return;
    // What the user typed and has not saved yet survives the re-read.
    for (auto it = keptTyping.cbegin(); it != keptTyping.cend(); ++it) {
        setFormWidgetValue(it.key(), it.value());
        edited.insert(it.key());
        loaded.insert(it.key(), keptLoaded.value(it.key()));
        loadedStored.insert(it.key(), keptStored.value(it.key()));
        if (keptUnsaved.contains(it.key()))
            unsaved.insert(it.key());
    }
    keptTyping.clear();
    showMarks();
}

void ShotInfoWidget::focusChanged(QWidget *old, QWidget *now)
{
    // Leaving the form counts as finishing the edit, as leaving a grid cell
    // does: the shot is saved at once. Buttons of the form's own bars do
    // not count as leaving.
    // The same values the database just refused (or a server that did
    // not answer) are not tried again merely because the focus moved, for
    // example to a message box; the user's next action tries them.
    if (old && isAncestorOf(old) && !(now && isAncestorOf(now))) {
        if (!lastRefused.isEmpty() && pendingChanges() == lastRefused)
            return;
        saveChanges();
    }
}
