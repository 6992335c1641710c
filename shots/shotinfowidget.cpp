#include "shots/shotinfowidget.h"

#include "shots/fieldcompleter.h"
#include "shots/clipfiles.h"
#include "shots/ditto.h"
#include "shots/formfielddelegate.h"
#include "shots/noticebar.h"
#include "shots/plaintext.h"
#include "shots/quicktags.h"
#include "shots/shotcolumns.h"
#include "shots/shotedits.h"
#include "shots/shottablemodel.h"
#include "shots/shotwriter.h"
#include "shots/stillframeview.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDataWidgetMapper>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QSlider>
#include <QSpinBox>
#include <QTableView>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// The form's rows, top to bottom, by the column each shows; their labels
// are the columns' words.
const char *const fields[] = {"filename", "location", "scene",  "shot",     "prod",   "duration",
                              "quality",  "takes",    "related", "shottype", "descid", "notes"};
} // namespace

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
    const QList<QWidget *> rowWidgets = {filenameLabel, locationEdit, sceneEdit, shotEdit, prodBox, durationEdit,
                                         qualitySlider, takesEdit, relatedEdit, shotTypeEdit, descIdEdit, notesEdit};
    for (int i = 0; i < rowWidgets.size(); ++i)
        rowWidgets.at(i)->setProperty("column", QString::fromLatin1(fields[i]));

    // The fields scroll, so the splitter can give the grid most of the room.
    auto *area = new QWidget;
    area->setLayout(layout);
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("fieldsArea"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(area);
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
    // Beside the fields: the still frame, or the poster the sync read when
    // the clip is not on this computer, and the clip's facts.
    poster = new QLabel(this);
    poster->setObjectName(QStringLiteral("posterView"));
    poster->setAlignment(Qt::AlignCenter);
    poster->setMinimumSize(160, 90);
    poster->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    poster->setToolTip(QStringLiteral("A frame read at sync; the clip is not on this computer"));
    poster->hide();
    facts = new QLabel(this);
    facts->setObjectName(QStringLiteral("factsLabel"));
    facts->setWordWrap(true);
    facts->setTextFormat(Qt::PlainText);
    facts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *picture = new QVBoxLayout;
    picture->setContentsMargins(0, 0, 0, 0);
    picture->addWidget(frame, 1);
    picture->addWidget(poster, 1);
    picture->addWidget(facts);
    auto *pane = new QHBoxLayout;
    pane->setContentsMargins(0, 0, 0, 0);
    pane->addWidget(scroll, 3);
    pane->addLayout(picture, 2);
    outer->addLayout(pane, 1);
    conflicts->hide();
    unsavedNotice->hide();
    auto resolveFirst = [this](bool writeMine) {
        const QList<ShotEdits::Draft> list = edits() ? edits()->conflicts() : QList<ShotEdits::Draft>();
        if (!list.isEmpty())
            edits()->resolve(list.first().shot, list.first().column, writeMine);
    };
    connect(conflicts, &NoticeBar::firstChosen, this, [resolveFirst]() { resolveFirst(false); });
    connect(conflicts, &NoticeBar::secondChosen, this, [resolveFirst]() { resolveFirst(true); });
    connect(unsavedNotice, &NoticeBar::firstChosen, this, [this]() {
        if (!edits())
            return;
        // Try Again: the shots whose values were not saved (and what is
        // typed for the shot shown), and those only.
        QList<qlonglong> shots = shownShots();
        for (const ShotEdits::Draft &d : edits()->unsaved()) {
            if (!shots.contains(d.shot))
                shots << d.shot;
        }
        edits()->save(shots, true);
    });
    connect(unsavedNotice, &NoticeBar::secondChosen, this, &ShotInfoWidget::discardChanges);

    // Only signals that come from the user make a draft; showing a shot sets
    // the widgets too, and that must never count as an edit.
    for (QLineEdit *edit : {sceneEdit, shotEdit, durationEdit, takesEdit, relatedEdit, descIdEdit}) {
        connect(edit, &QLineEdit::textEdited, this, [this, edit]() { typed(edit); });
        connect(edit, &QLineEdit::returnPressed, this, [this]() { saveChanges(); });
    }
    for (QTextEdit *edit : {locationEdit, shotTypeEdit, notesEdit})
        connect(edit, &QTextEdit::textChanged, this, [this, edit]() {
            if (loading)
                return;
            typed(edit);
            if (FieldCompleter *completer = completers.value(columnOf(edit)))
                completer->typed();
        });
    connect(prodBox, &QCheckBox::clicked, this, [this]() {
        // Partly checked only ever means NULL; a click sets yes or no.
        if (prodBox->checkState() != Qt::PartiallyChecked)
            prodBox->setTristate(false);
        typed(prodBox);
    });
    // The box says in words what a partly checked box means here.
    connect(prodBox, &QCheckBox::stateChanged, this, [this](int state) {
        if (state != Qt::PartiallyChecked)
            prodBox->setText(QString());
        else if (prodBox->text().isEmpty())
            prodBox->setText(QStringLiteral("not set"));
    });
    connect(qualitySlider, &QSlider::valueChanged, this, [this]() {
        if (loading)
            return;
        setQualityEmpty(false);
        typed(qualitySlider);
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
        typed(qualitySlider);
    });
    // Keys of the fields: Delete to empty, digits on the slider, Space on
    // the production flag, Ctrl+D to copy the shot above.
    for (QWidget *widget : fieldWidgets())
        widget->installEventFilter(this);
    qualitySpin->installEventFilter(this);
    prodBox->setToolTip(QStringLiteral("Space: yes or no. Delete: not set."));

    // Location, scene and shot type offer the values the project holds.
    for (const QString &column : ShotColumns::completed()) {
        QWidget *widget = widgetOfColumn(column);
        if (auto *line = qobject_cast<QLineEdit *>(widget))
            completers.insert(column, new FieldCompleter(line));
        else if (auto *text = qobject_cast<QTextEdit *>(widget))
            completers.insert(column, new FieldCompleter(text));
    }
    for (auto it = completers.cbegin(); it != completers.cend(); ++it) {
        QWidget *widget = widgetOfColumn(it.key());
        connect(it.value(), &FieldCompleter::chosen, this, [this, widget]() { typed(widget); });
        // Return in a multi-line field that offers values saves, as in a
        // one-line field; it never types a line break (Shift+Return does).
        connect(it.value(), &FieldCompleter::finished, this, [this]() { saveChanges(); });
    }

    // The rows of the form, each with its label on the left.
    for (int i = 0; i < rowWidgets.size(); ++i) {
        QWidget *widget = rowWidgets.at(i);
        if (widget == qualitySlider) {
            auto *quality = new QWidget;
            quality->setProperty("column", QStringLiteral("quality"));
            qualityRow = quality;
            auto *qualityLayout = new QHBoxLayout(quality);
            qualityLayout->setContentsMargins(0, 0, 0, 0);
            qualityLayout->addWidget(qualitySlider, 1);
            qualityLayout->addWidget(qualitySpin);
            layout->addRow(ShotColumns::label(QString::fromLatin1(fields[i])), quality);
            // The row's label belongs to the slider (labelOf finds it there).
            if (auto *label = qobject_cast<QLabel *>(layout->labelForField(quality)))
                label->setBuddy(qualitySlider);
            continue;
        }
        layout->addRow(ShotColumns::label(QString::fromLatin1(fields[i])), widget);
    }
    // The quick tags, one toggle button each, shown when the database keeps
    // them. The buttons never take the focus: a click leaves the cursor
    // where the logger types.
    tagsRow = new QWidget;
    tagsRow->setObjectName(QStringLiteral("tagsRow"));
    tagsRow->setProperty("column", QLatin1String(ShotColumns::tagsColumn));
    auto *tagButtons = new QHBoxLayout(tagsRow);
    tagButtons->setContentsMargins(0, 0, 0, 0);
    tagButtons->setSpacing(4);
    layout->addRow(ShotColumns::label(QLatin1String(ShotColumns::tagsColumn)), tagsRow);
    layout->setRowVisible(tagsRow, false);
    // Tab walks the fields top to bottom, the quality's number after its
    // slider, also out of the free-text editors.
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
    connect(qApp, &QApplication::focusChanged, this, &ShotInfoWidget::focusChanged);
}

ShotInfoWidget::~ShotInfoWidget() = default;

QList<QWidget *> ShotInfoWidget::fieldWidgets() const
{
    return {locationEdit, sceneEdit, shotEdit, prodBox, durationEdit, qualitySlider,
            takesEdit, relatedEdit, shotTypeEdit, descIdEdit, notesEdit};
}

ShotEdits *ShotInfoWidget::edits() const
{
    return shots ? shots->edits() : nullptr;
}

QString ShotInfoWidget::columnOf(const QWidget *widget) const
{
    if (widget == qualitySpin)
        widget = qualitySlider;
    return widget ? widget->property("column").toString() : QString();
}

QWidget *ShotInfoWidget::widgetOfColumn(const QString &column) const
{
    for (QWidget *widget : fieldWidgets()) {
        if (columnOf(widget) == column)
            return widget;
    }
    return nullptr;
}

QString ShotInfoWidget::labelOf(const QWidget *widget) const
{
    if (auto *label = qobject_cast<QLabel *>(layout->labelForField(const_cast<QWidget *>(widget))))
        return label->text();
    if (widget == qualitySlider)
        return QStringLiteral("Quality");
    return ShotEdits::fieldLabel(columnOf(widget));
}

void ShotInfoWidget::setModel(ShotTableModel *model)
{
    shots = model;
    mapper->setModel(model);
    mapper->setItemDelegate(new FormFieldDelegate(this));
    mapper->setSubmitPolicy(QDataWidgetMapper::ManualSubmit);
    connect(model, &QAbstractItemModel::dataChanged, this, &ShotInfoWidget::modelChanged);
    connect(model, &QAbstractItemModel::modelReset, this, &ShotInfoWidget::rowsReplaced);
    // New rows (a refresh, a find, a sort): what is typed is saved first.
    connect(model, &ShotTableModel::aboutToSelect, this, &ShotInfoWidget::saveChanges);
    connect(model->edits(), &ShotEdits::changed, this, [this]() {
        showMarks();
        showConflicts();
    });
    connect(model, &ShotTableModel::tagsRead, this, &ShotInfoWidget::showTagButtons);
    connect(model, &ShotTableModel::columnsReady, this, &ShotInfoWidget::showTagButtons);
    connect(model, &ShotTableModel::columnsReady, this, &ShotInfoWidget::arrangeAsFollowed);
    connect(model, &QAbstractItemModel::modelReset, this, &ShotInfoWidget::arrangeAsFollowed);
    connect(model->edits(), &ShotEdits::changed, this, &ShotInfoWidget::updateTagButtons);
    connect(model, &ShotTableModel::completionsRead, this, [this]() {
        for (auto it = completers.cbegin(); it != completers.cend(); ++it)
            it.value()->setValues(shots->completions(it.key()));
    });
    if (model->hasColumns())
        bindColumns();
    else
        connect(model, &ShotTableModel::columnsReady, this, &ShotInfoWidget::bindColumns);
    updateAvailability();
    showMarks();
    showConflicts();
}

void ShotInfoWidget::bindColumns()
{
    if (bound || !shots)
        return;
    bound = true;
    // Columns are looked up by name: the form does not depend on their order.
    const QList<QWidget *> rowWidgets = {filenameLabel, locationEdit, sceneEdit, shotEdit, prodBox, durationEdit,
                                         qualitySlider, takesEdit, relatedEdit, shotTypeEdit, descIdEdit, notesEdit};
    for (QWidget *widget : rowWidgets) {
        const int section = shots->fieldIndex(columnOf(widget));
        mapper->addMapping(widget, section);
        // A field takes no more characters than its column holds.
        const int limit = shots->columnLimit(section);
        if (auto *edit = qobject_cast<QLineEdit *>(widget); edit && limit > 0)
            edit->setMaxLength(limit);
    }
}

void ShotInfoWidget::rowsReplaced()
{
    // New rows: the grid has put its current row back (it is connected
    // first); the form shows that row, read from the new rows.
    bulkRows.clear();
    const QModelIndex current = followed ? followed->currentIndex() : QModelIndex();
    if (current.isValid())
        mapper->setCurrentIndex(current.row());
    else if (shots->rowCount() > 0)
        mapper->toFirst();
    if (shots->rowCount() > 0)
        mapper->revert();
    rowShown();
    if (followed)
        updateBulk();
}

void ShotInfoWidget::modelChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    if (typing)
        return;
    if (isBulk()) {
        // A bulk edit's chunks come one after the other: the shared values
        // are worked out once they are in.
        if (!bulkReloadDue) {
            bulkReloadDue = true;
            QTimer::singleShot(0, this, [this]() {
                bulkReloadDue = false;
                if (isBulk())
                    loadBulk();
            });
        }
        return;
    }
    const int row = mapper->currentIndex();
    if (row >= topLeft.row() && row <= bottomRight.row()) {
        showMarks();
        updateTagButtons();
    }
}

qlonglong ShotInfoWidget::currentShot() const
{
    if (!shots || mapper->currentIndex() < 0)
        return 0;
    return shots->shotOfRow(mapper->currentIndex());
}

QList<qlonglong> ShotInfoWidget::shownShots() const
{
    QList<qlonglong> list;
    if (!shots)
        return list;
    if (isBulk()) {
        for (int row : bulkRows)
            list << shots->shotOfRow(row);
    } else if (const qlonglong shot = currentShot()) {
        list << shot;
    }
    return list;
}

void ShotInfoWidget::typed(QWidget *widget)
{
    if (!shots || loading || !bound)
        return;
    const QString column = columnOf(widget);
    const int section = shots->fieldIndex(column);
    if (section < 0)
        return;
    typing = true;
    if (isBulk()) {
        // One value for every selected shot, each checked against what it
        // held. Back to what the form showed, it is no edit at all.
        const QVariant value = formWidgetValue(widget);
        const QVariant shared = shots->data(shots->index(bulkRows.first(), section), Qt::EditRole);
        bool same = true;
        for (int i = 1; i < bulkRows.size() && same; ++i)
            same = ShotWriter::sameStored(shared, shots->data(shots->index(bulkRows.at(i), section), Qt::EditRole));
        const bool unchanged = same ? FormFieldDelegate::shows(widget, shared)
                                    : formWidgetValue(widget).toString().isEmpty();
        QList<qlonglong> ids;
        QList<QVariant> reads;
        for (int row : std::as_const(bulkRows)) {
            const qlonglong shot = shots->shotOfRow(row);
            ids << shot;
            const ShotEdits::Draft *d = edits()->draft(shot, column);
            reads << (d && d->state != ShotEdits::State::Conflict ? d->read : shots->storedValue(row, section));
        }
        if (unchanged)
            edits()->discardMany(ids, column);
        else
            edits()->typeMany(ids, column, reads, value);
    } else if (mapper->currentIndex() >= 0) {
        mapper->itemDelegate()->setModelData(widget, shots, shots->index(mapper->currentIndex(), section));
    }
    typing = false;
    showMarks();
}

bool ShotInfoWidget::saveChanges()
{
    if (edits())
        edits()->save(shownShots(), false);
    return true;
}

void ShotInfoWidget::discardChanges()
{
    if (edits())
        edits()->discardUnsaved();
}

bool ShotInfoWidget::hasUnsavedChanges() const
{
    if (!edits())
        return false;
    return edits()->count(ShotEdits::State::Typing) + edits()->count(ShotEdits::State::Saving)
        + edits()->count(ShotEdits::State::Unsaved)
        > 0;
}

QStringList ShotInfoWidget::unsavedFields() const
{
    QStringList labels;
    if (!edits())
        return labels;
    QList<ShotEdits::Draft> list = edits()->unsaved();
    for (const ShotEdits::Draft &d : edits()->draftsOf(currentShot())) {
        if (d.state == ShotEdits::State::Typing || d.state == ShotEdits::State::Saving)
            list << d;
    }
    for (const ShotEdits::Draft &d : std::as_const(list)) {
        const QString label = ShotEdits::fieldLabel(d.column);
        if (!labels.contains(label))
            labels << label;
    }
    return labels;
}

bool ShotInfoWidget::fieldHoldsTyping(const QWidget *widget) const
{
    if (!edits() || isBulk())
        return false;
    const ShotEdits::Draft *d = edits()->draft(currentShot(), columnOf(widget));
    return d && d->state == ShotEdits::State::Typing;
}

void ShotInfoWidget::showMarks()
{
    ShotEdits *list = edits();
    const QList<qlonglong> shown = shownShots();
    for (QWidget *widget : fieldWidgets()) {
        QString state;
        QString tip;
        if (list) {
            const QString column = columnOf(widget);
            for (qlonglong shot : shown) {
                const ShotEdits::Draft *d = list->draft(shot, column);
                if (!d)
                    continue;
                if (d->state == ShotEdits::State::Unsaved) {
                    state = QStringLiteral("unsaved");
                    tip = QStringLiteral("Not saved: %1").arg(d->reason);
                    break;
                }
                if (d->state == ShotEdits::State::Saving)
                    state = QStringLiteral("saving");
            }
        }
        const bool unsaved = state == QLatin1String("unsaved");
        if (widget->property("unsaved").toBool() != unsaved || widget->property("saving").toBool() != (state == QLatin1String("saving"))) {
            widget->setProperty("unsaved", unsaved);
            widget->setProperty("saving", state == QLatin1String("saving"));
            widget->setStyleSheet(unsaved                             ? QStringLiteral("background-color: #ffd7d0;")
                                      : state == QLatin1String("saving") ? QStringLiteral("background-color: #fff6cc;")
                                                                          : QString());
        }
        widget->setToolTip(unsaved ? tip : state == QLatin1String("saving") ? QStringLiteral("Being saved") : QString());
    }

    const QList<ShotEdits::Draft> unsaved = list ? list->unsaved() : QList<ShotEdits::Draft>();
    if (unsaved.isEmpty()) {
        unsavedNotice->hide();
        return;
    }
    // Per field, the shots whose value is not saved; the shot shown needs
    // no number.
    QStringList order;
    QHash<QString, QList<qlonglong>> shotsOf;
    for (const ShotEdits::Draft &d : unsaved) {
        const QString label = ShotEdits::fieldLabel(d.column);
        if (!order.contains(label))
            order << label;
        shotsOf[label] << d.shot;
    }
    QStringList parts;
    for (const QString &label : std::as_const(order)) {
        const QList<qlonglong> ids = shotsOf.value(label);
        if (ids.size() == 1 && ids.first() == currentShot() && !isBulk()) {
            parts << label;
        } else if (ids.size() <= 3) {
            QStringList numbers;
            for (qlonglong id : ids)
                numbers << QString::number(id);
            parts << QStringLiteral("%1 (shot %2)").arg(label, numbers.join(QStringLiteral(", ")));
        } else {
            parts << QStringLiteral("%1 (%2 shots)").arg(label).arg(ids.size());
        }
    }
    unsavedNotice->setText(QStringLiteral("Not saved: %1. %2").arg(parts.join(QStringLiteral(", ")), unsaved.first().reason));
    unsavedNotice->show();
}

void ShotInfoWidget::showConflicts()
{
    const QList<ShotEdits::Draft> list = edits() ? edits()->conflicts() : QList<ShotEdits::Draft>();
    if (list.isEmpty()) {
        conflicts->hide();
        return;
    }
    const ShotEdits::Draft &first = list.first();
    auto shown = [](const QVariant &value) {
        return value.isNull() ? QStringLiteral("(empty)")
                              : QStringLiteral("\u201c%1\u201d").arg(PlainText::fromStored(value.toString()));
    };
    QString text = QStringLiteral("Shot %1, %2: another client stored %3 after you read it; you wrote %4.")
                       .arg(first.shot)
                       .arg(ShotEdits::fieldLabel(first.column), shown(first.stored), shown(first.typed));
    if (list.size() > 1)
        text += QStringLiteral(" (%1 more after this.)").arg(list.size() - 1);
    conflicts->setText(text);
    conflicts->show();
}

bool ShotInfoWidget::showRow(const QModelIndex &index)
{
    if (!shots || !index.isValid())
        return true;
    if (index.row() == mapper->currentIndex() && !isBulk())
        return true;
    // What was typed for the shot being left goes to its shot; the user
    // goes on at once.
    if (const qlonglong leaving = currentShot(); leaving && !isBulk())
        edits()->save({leaving}, false);
    mapper->setCurrentIndex(index.row());
    rowShown();
    // Read again, so the form shows what is stored now rather than what
    // was read when the grid was filled; fields being typed into keep
    // what is typed.
    shots->refreshShot(index.row());
    return true;
}

void ShotInfoWidget::rowShown()
{
    updateAvailability();
    if (!isBulk()) {
        for (QWidget *widget : fieldWidgets()) {
            if (auto *edit = qobject_cast<QLineEdit *>(widget))
                edit->setPlaceholderText(QString());
            else if (auto *edit = qobject_cast<QTextEdit *>(widget))
                edit->setPlaceholderText(QString());
        }
        if (mapper->currentIndex() < 0 || shots->rowCount() == 0) {
            loading++;
            for (QWidget *widget : fieldWidgets())
                FormFieldDelegate::setWidgetValue(widget, QVariant());
            // No shot: the box is cleared, not "not set".
            prodBox->setTristate(false);
            prodBox->setChecked(false);
            filenameLabel->clear();
            loading--;
            showQualityNumber();
        }
    }
    showMarks();
    updateTagButtons();
    updateFrame();
}

void ShotInfoWidget::follow(QAbstractItemView *view)
{
    followed = view;
    // The fields follow the grid's columns: moved, hidden or shown.
    if (auto *table = qobject_cast<QTableView *>(view)) {
        QHeaderView *header = table->horizontalHeader();
        auto later = [this]() {
            if (arrangeDue)
                return;
            arrangeDue = true;
            QTimer::singleShot(0, this, [this]() {
                arrangeDue = false;
                arrangeAsFollowed();
            });
        };
        connect(header, &QHeaderView::sectionMoved, this, later);
        connect(header, &QHeaderView::sectionResized, this, later);
        connect(header, &QHeaderView::sectionCountChanged, this, later);
        connect(header, &QHeaderView::geometriesChanged, this, later);
    }
    // Several rows selected: a change in the form applies to all of them.
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ShotInfoWidget::updateBulk);
    connect(view, &QAbstractItemView::clicked, this, &ShotInfoWidget::showRow);
    connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) { showRow(current); });
}

void ShotInfoWidget::updateBulk()
{
    if (!shots || !followed)
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
    if (rows.size() < 2)
        rows.clear();
    if (rows == bulkRows)
        return;
    // What was typed for the shots shown so far goes to them first.
    saveChanges();
    const bool wasBulk = isBulk();
    bulkRows = rows;
    if (isBulk()) {
        loadBulk();
    } else if (wasBulk) {
        if (mapper->currentIndex() >= 0)
            mapper->revert(); // the current row's own values again
        rowShown();
    }
}

void ShotInfoWidget::loadBulk()
{
    // A field shows its value when every selected shot holds the same,
    // and stays empty with a hint otherwise.
    const QString several = QStringLiteral("(several values)");
    loading++;
    for (QWidget *widget : fieldWidgets()) {
        const int column = shots->fieldIndex(columnOf(widget));
        const QVariant first = shots->data(shots->index(bulkRows.first(), column), Qt::EditRole);
        bool same = true;
        for (int i = 1; i < bulkRows.size() && same; ++i)
            same = ShotWriter::sameStored(first, shots->data(shots->index(bulkRows.at(i), column), Qt::EditRole));
        if (!widget->hasFocus() || !FormFieldDelegate::shows(widget, same ? first : QVariant()))
            FormFieldDelegate::setWidgetValue(widget, same ? first : QVariant());
        if (widget == prodBox && !same)
            prodBox->setText(several);
        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            edit->setPlaceholderText(same ? QString() : several);
        else if (auto *edit = qobject_cast<QTextEdit *>(widget))
            edit->setPlaceholderText(same ? QString() : several);
    }
    loading--;
    showQualityNumber();
    filenameLabel->setText(QStringLiteral("%1 shots selected: a change applies to each of them").arg(bulkRows.size()));
    showMarks();
}

void ShotInfoWidget::showStoredValue(QWidget *widget, const QVariant &value)
{
    // Several shots shown: the form shows what they share, not one row.
    // A field showing the value already keeps its cursor and undo steps.
    if (isBulk() || FormFieldDelegate::shows(widget, value))
        return;
    loading++;
    FormFieldDelegate::setWidgetValue(widget, value);
    loading--;
    showQualityNumber();
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
    loading++;
    FormFieldDelegate::setWidgetValue(widget, QVariant(QMetaType::fromType<int>()));
    loading--;
    showQualityNumber();
    typed(widget);
}

bool ShotInfoWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    auto *widget = static_cast<QWidget *>(watched);
    const bool plain = !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    if (key->key() == Qt::Key_D && key->modifiers() == Qt::ControlModifier)
        return ditto(widget);
    // Space on the production flag: yes, then no (never back to not set).
    if (widget == prodBox && plain && key->key() == Qt::Key_Space) {
        const bool yes = prodBox->checkState() != Qt::Checked;
        prodBox->setTristate(false);
        prodBox->setChecked(yes);
        typed(prodBox);
        return true;
    }
    if (widget != prodBox && widget != durationEdit && widget != qualitySlider && widget != qualitySpin)
        return QWidget::eventFilter(watched, event);
    // Delete on the production flag or the quality sets it back to empty;
    // on the duration, when the text is gone or all selected.
    if (key->key() == Qt::Key_Delete && plain) {
        if (widget == durationEdit) {
            if (!durationEdit->text().isEmpty() && durationEdit->selectedText() != durationEdit->text())
                return false;
            durationEdit->clear();
            typed(durationEdit);
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

void ShotInfoWidget::focusFirstField()
{
    const QList<QWidget *> chain = tabChain();
    QWidget *first = chain.isEmpty() ? locationEdit : chain.first();
    first->setFocus(Qt::ShortcutFocusReason);
    if (auto *text = qobject_cast<QTextEdit *>(first))
        text->moveCursor(QTextCursor::End);
    else if (auto *line = qobject_cast<QLineEdit *>(first))
        line->end(false);
}

void ShotInfoWidget::arrangeAsFollowed()
{
    auto *table = qobject_cast<QTableView *>(followed);
    if (!table || !shots || shots->columnCount() == 0)
        return;
    const QHeaderView *header = table->horizontalHeader();
    QStringList shown;
    for (int visual = 0; visual < header->count(); ++visual) {
        const int logical = header->logicalIndex(visual);
        if (!header->isSectionHidden(logical))
            shown << shots->columnName(logical);
    }
    arrangeFields(shown);
}

void ShotInfoWidget::arrangeFields(const QStringList &shownColumns)
{
    // The rows below the file name, each by its column: shown ones in the
    // grid's order, then the others as they were.
    const QList<QWidget *> rowWidgets = {locationEdit, sceneEdit, shotEdit, prodBox,  durationEdit, qualityRow,
                                         takesEdit,    relatedEdit, shotTypeEdit, descIdEdit, notesEdit, tagsRow};
    QList<QWidget *> order;
    for (const QString &column : shownColumns) {
        for (QWidget *widget : rowWidgets) {
            if (columnOf(widget) == column && !order.contains(widget))
                order << widget;
        }
    }
    QStringList key;
    for (QWidget *widget : std::as_const(order))
        key << columnOf(widget);
    if (key == arranged)
        return;
    arranged = key;
    const int shownCount = int(order.size());
    for (QWidget *widget : rowWidgets) {
        if (!order.contains(widget))
            order << widget;
    }

    // Taking a row out of the layout keeps its widgets; they go back in the
    // new order, each beside its own label.
    const bool tagsShown = layout->isRowVisible(tagsRow);
    for (QWidget *widget : std::as_const(order)) {
        const QFormLayout::TakeRowResult row = layout->takeRow(widget);
        QWidget *label = row.labelItem ? row.labelItem->widget() : nullptr;
        delete row.labelItem;
        delete row.fieldItem;
        layout->addRow(label, widget);
    }
    layout->setRowVisible(tagsRow, tagsShown);
    layout->activate();

    // Tab visits the fields of the columns shown, top to bottom; the others
    // take a click only.
    QWidget *previous = nullptr;
    for (int i = 0; i < order.size(); ++i) {
        QWidget *row = order.at(i);
        const QList<QWidget *> stops =
            row == qualityRow ? QList<QWidget *>{qualitySlider, qualitySpin}
                              : (row == tagsRow ? QList<QWidget *>() : QList<QWidget *>{row});
        for (QWidget *stop : stops) {
            if (!stop->property("tabPolicy").isValid())
                stop->setProperty("tabPolicy", int(stop->focusPolicy()));
            const auto own = Qt::FocusPolicy(stop->property("tabPolicy").toInt());
            stop->setFocusPolicy(i < shownCount ? own : Qt::ClickFocus);
            if (previous)
                setTabOrder(previous, stop);
            previous = stop;
        }
    }
}

QList<QWidget *> ShotInfoWidget::tabChain() const
{
    QList<QWidget *> chain;
    QWidget *first = locationEdit;
    // The chain starts at the first field laid out that takes Tab.
    for (int row = 0; row < layout->rowCount(); ++row) {
        QLayoutItem *item = layout->itemAt(row, QFormLayout::FieldRole);
        QWidget *widget = item ? item->widget() : nullptr;
        if (widget == qualityRow)
            widget = qualitySlider;
        if (widget && widget != filenameLabel && widget != tagsRow && (widget->focusPolicy() & Qt::TabFocus)) {
            first = widget;
            break;
        }
    }
    if (!(first->focusPolicy() & Qt::TabFocus))
        return chain;
    // The focus chain is a ring through the whole window: once round it.
    const QList<QWidget *> fields = fieldWidgets() + QList<QWidget *>{qualitySpin};
    QWidget *widget = first;
    do {
        if (fields.contains(widget) && (widget->focusPolicy() & Qt::TabFocus) && !chain.contains(widget))
            chain << widget;
        widget = widget->nextInFocusChain();
    } while (widget && widget != first);
    return chain;
}

void ShotInfoWidget::showTagButtons()
{
    const bool on = shots && shots->hasTags();
    layout->setRowVisible(tagsRow, on);
    const QStringList tags = on ? shots->projectTags() : QStringList();
    const QList<QToolButton *> old = tagsRow->findChildren<QToolButton *>(Qt::FindDirectChildrenOnly);
    QStringList shown;
    for (QToolButton *button : old)
        shown << button->property("tag").toString();
    if (shown != tags) {
        qDeleteAll(old);
        for (int i = 0; i < tags.size(); ++i) {
            auto *button = new QToolButton(tagsRow);
            const QString tag = tags.at(i);
            button->setObjectName(QStringLiteral("tagButton%1").arg(i + 1));
            button->setProperty("tag", tag);
            button->setCheckable(true);
            button->setFocusPolicy(Qt::NoFocus);
            QString text = tag;
            text.replace(QLatin1Char('&'), QStringLiteral("&&"));
            if (i < QuickTags::keyed) {
                button->setText(QStringLiteral("%1 %2").arg(i + 1).arg(text));
                button->setToolTip(tr("Alt+%1: puts \"%2\" on the shot, or takes it off").arg(i + 1).arg(tag));
            } else {
                button->setText(text);
                button->setToolTip(tr("Puts \"%1\" on the shot, or takes it off").arg(tag));
            }
            connect(button, &QToolButton::clicked, this, [this, i]() {
                toggleTag(i + 1);
                updateTagButtons();
            });
            static_cast<QHBoxLayout *>(tagsRow->layout())->addWidget(button);
        }
        static_cast<QHBoxLayout *>(tagsRow->layout())->addStretch(1);
    }
    updateTagButtons();
}

void ShotInfoWidget::updateTagButtons()
{
    if (!shots || !tagsRow->isVisible())
        return;
    const int column = shots->fieldIndex(QLatin1String(ShotColumns::tagsColumn));
    const QList<int> rows = isBulk() ? bulkRows : QList<int>{mapper->currentIndex()};
    for (QToolButton *button : tagsRow->findChildren<QToolButton *>(Qt::FindDirectChildrenOnly)) {
        const QString tag = button->property("tag").toString();
        bool all = column >= 0 && !rows.isEmpty();
        for (int row : rows) {
            if (row < 0 || !QuickTags::has(shots->index(row, column).data(Qt::EditRole), tag)) {
                all = false;
                break;
            }
        }
        button->setChecked(all);
    }
}

bool ShotInfoWidget::toggleTag(int key)
{
    if (!shots || !shots->hasTags())
        return false;
    const QStringList tags = shots->projectTags();
    if (key < 1 || key > tags.size())
        return false;
    const QList<int> rows = isBulk() ? bulkRows : QList<int>{mapper->currentIndex()};
    if (rows.isEmpty() || rows.first() < 0)
        return false;
    const bool toggled = shots->toggleTag(tags.at(key - 1), rows);
    updateTagButtons();
    return toggled;
}

bool ShotInfoWidget::ditto(QWidget *widget)
{
    if (widget == qualitySpin)
        widget = qualitySlider;
    const int row = mapper->currentIndex();
    if (!shots || isBulk() || row < 1 || !fieldWidgets().contains(widget))
        return true;
    // The shot above as the grid shows it, which is the model's order.
    const QString column = columnOf(widget);
    const QVariant above = shots->data(shots->index(row - 1, shots->fieldIndex(column)), Qt::EditRole);
    loading++;
    FormFieldDelegate::setWidgetValue(widget, Ditto::value(column, above));
    loading--;
    showQualityNumber();
    if (auto *edit = qobject_cast<QTextEdit *>(widget))
        edit->moveCursor(QTextCursor::End);
    typed(widget);
    return true;
}

void ShotInfoWidget::showPoster(const QByteArray &md5, const QByteArray &sha1, const QImage &picture,
                                const QString &refusal)
{
    if (qMakePair(md5, sha1) != posterContent)
        return;
    if (picture.isNull()) {
        // No poster is stored: the still frame says the clip is not here.
        // One was refused: say why instead.
        if (refusal.isEmpty())
            return;
        poster->setText(QStringLiteral("No poster: %1.").arg(refusal));
    } else {
        // Decoded off the GUI thread, and no larger than a poster.
        poster->setPixmap(QPixmap::fromImage(picture).scaled(qMax(160, poster->width()), qMax(90, poster->height()),
                                                             Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
    frame->hide();
    poster->show();
}

void ShotInfoWidget::setNoShotHint(const QString &text)
{
    noShotHint->setText(text);
}

void ShotInfoWidget::updateAvailability()
{
    // Without a current shot there is nothing to write typing to: the
    // fields are disabled, and the hint says how shots get there.
    const bool hasShot = shots && mapper->currentIndex() >= 0 && shots->rowCount() > 0;
    fieldsArea->setEnabled(hasShot);
    noShotHint->setVisible(!hasShot);
}

void ShotInfoWidget::updateFrame()
{
    const int row = mapper->currentIndex();
    QString filename;
    QString md5;
    if (shots && row >= 0 && !isBulk()) {
        filename = shots->storedValue(row, shots->fieldIndex(QStringLiteral("filename"))).toString();
        md5 = shots->storedValue(row, shots->fieldIndex(QStringLiteral("MD5"))).toString();
    }
    // What the sync read: one line of facts, the measured length as the
    // duration's hint (never written), the poster when the clip is away.
    facts->setText(shots && row >= 0 && !isBulk() ? shots->mediaSummary(row) : QString());
    const qint64 length = shots && row >= 0 && !isBulk() ? shots->mediaLengthMs(row) : -1;
    durationEdit->setPlaceholderText(length >= 0 ? QString::number(length / 1000.0, 'f', 3) : QString());
    // The same shot shown again (its row read again) keeps its frame.
    if (framedShot == qMakePair(filename, md5))
        return;
    framedShot = qMakePair(filename, md5);
    frame->showShot(filename, md5);
    posterContent = {};
    poster->clear();
    poster->hide();
    frame->show();
    const QString clip = filename.isEmpty() ? QString() : localClipPath(filename);
    if (shots && shots->hasMedia() && !filename.isEmpty() && !(!clip.isEmpty() && QFileInfo(clip).isFile())) {
        posterContent = {md5.toLatin1(), shots->storedValue(row, shots->fieldIndex(QStringLiteral("SHA1"))).toString().toLatin1()};
        emit posterWanted(posterContent.first, posterContent.second);
    }
}

void ShotInfoWidget::focusChanged(QWidget *old, QWidget *now)
{
    // Leaving the form counts as finishing the edit, as leaving a grid cell
    // does: the shot is saved. Buttons of the form's own bars do not count
    // as leaving. Values the database did not take are tried again only
    // when the user asks (Try Again), not merely because the focus moved.
    if (old && isAncestorOf(old) && !(now && isAncestorOf(now)))
        saveChanges();
}
