#include "shots/shotinfowidget.h"

#include "shots/shottablemodel.h"
#include "shots/stillframeview.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDataWidgetMapper>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QSlider>
#include <QTextEdit>

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
    qualitySlider->setObjectName(QStringLiteral("qualitySlider"));
    takesEdit->setObjectName(QStringLiteral("takesEdit"));
    relatedEdit->setObjectName(QStringLiteral("relatedEdit"));
    shotTypeEdit->setObjectName(QStringLiteral("shotTypeEdit"));
    descIdEdit->setObjectName(QStringLiteral("descIdEdit"));
    notesEdit->setObjectName(QStringLiteral("notesEdit"));
    for (QTextEdit *edit : {locationEdit, shotTypeEdit, notesEdit})
        edit->setMinimumHeight(48);

    // The fields scroll, so the splitter can give the grid most of the room.
    auto *fields = new QWidget;
    fields->setLayout(layout);
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("fieldsArea"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(fields);
    frame = new StillFrameView(this);
    auto *pane = new QHBoxLayout(this);
    pane->setContentsMargins(0, 0, 0, 0);
    pane->addWidget(scroll, 3);
    pane->addWidget(frame, 2);

    // Only signals that come from the user mark a widget as changed; loading
    // a row sets the widgets too, and that must never count as an edit.
    for (QLineEdit *edit : {sceneEdit, shotEdit, durationEdit, takesEdit, relatedEdit, descIdEdit}) {
        connect(edit, &QLineEdit::textEdited, this, [this, edit]() { markEdited(edit); });
        connect(edit, &QLineEdit::returnPressed, this, [this]() { saveChanges(); });
    }
    for (QTextEdit *edit : {locationEdit, shotTypeEdit, notesEdit})
        connect(edit->document(), &QTextDocument::undoCommandAdded, this,
                [this, edit]() { markEdited(edit); });
    connect(prodBox, &QCheckBox::clicked, this, [this]() { markEdited(prodBox); });
    connect(qualitySlider, &QSlider::actionTriggered, this, [this]() { markEdited(qualitySlider); });
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

    mapper->setSubmitPolicy(QDataWidgetMapper::ManualSubmit);
    mapper->addMapping(filenameLabel, model->fieldIndex("filename"), "text");
    mapper->addMapping(locationEdit, model->fieldIndex("location"));
    mapper->addMapping(sceneEdit, model->fieldIndex("scene"));
    mapper->addMapping(shotEdit, model->fieldIndex("shot"));
    mapper->addMapping(prodBox, model->fieldIndex("prod"), "checked");
    mapper->addMapping(durationEdit, model->fieldIndex("duration"));
    mapper->addMapping(qualitySlider, model->fieldIndex("quality"), "value");
    mapper->addMapping(takesEdit, model->fieldIndex("takes"));
    mapper->addMapping(relatedEdit, model->fieldIndex("related"));
    mapper->addMapping(shotTypeEdit, model->fieldIndex("shottype"));
    mapper->addMapping(descIdEdit, model->fieldIndex("descid"));
    mapper->addMapping(notesEdit, model->fieldIndex("notes"));
    mapper->toFirst();
    rowLoaded();

    layout->addRow("Filename", filenameLabel);
    layout->addRow("Location", locationEdit);
    layout->addRow("Scene", sceneEdit);
    layout->addRow("Shot", shotEdit);
    layout->addRow("Production", prodBox);
    layout->addRow("Duration (s)", durationEdit);
    layout->addRow("Quality", qualitySlider);
    layout->addRow("Takes", takesEdit);
    layout->addRow("Related Object ID's", relatedEdit);
    layout->addRow("Shot Type", shotTypeEdit);
    layout->addRow("Description ID", descIdEdit);
    layout->addRow("Notes", notesEdit);
}

QVariant formWidgetValue(const QWidget *widget)
{
    if (auto *edit = qobject_cast<const QLineEdit *>(widget))
        return edit->text();
    if (auto *edit = qobject_cast<const QTextEdit *>(widget))
        return edit->toHtml();
    if (auto *box = qobject_cast<const QCheckBox *>(widget))
        return box->isChecked() ? 1 : 0;
    if (auto *slider = qobject_cast<const QSlider *>(widget))
        return slider->value();
    return QVariant();
}

namespace {
void setFormWidgetValue(QWidget *widget, const QVariant &value)
{
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        edit->setText(value.toString());
    else if (auto *edit = qobject_cast<QTextEdit *>(widget))
        edit->setHtml(value.toString());
    else if (auto *box = qobject_cast<QCheckBox *>(widget))
        box->setChecked(value.toInt() != 0);
    else if (auto *slider = qobject_cast<QSlider *>(widget))
        slider->setValue(value.toInt());
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
        if (value == loaded.value(widget))
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

bool ShotInfoWidget::saveChanges()
{
    const int row = mapper->currentIndex();
    const QHash<int, QVariant> changes = pendingChanges();
    edited.clear();
    if (changes.isEmpty() || row < 0)
        return true;
    // The model reads the row back, and the mapper shows what was stored.
    return shots->saveRow(row, changes);
}

void ShotInfoWidget::showRow(const QModelIndex &index)
{
    if (!shots || !index.isValid() || index.row() == mapper->currentIndex())
        return;
    saveChanges();
    mapper->setCurrentIndex(index.row());
    rowLoaded();
}

void ShotInfoWidget::follow(QAbstractItemView *view)
{
    connect(view, &QAbstractItemView::clicked, this, &ShotInfoWidget::showRow);
    connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) { showRow(current); });
}

void ShotInfoWidget::rowLoaded()
{
    edited.clear();
    typing.clear();
    takeSnapshot();
    updateFrame();
}

void ShotInfoWidget::takeSnapshot()
{
    // The mapper cannot set a check box or a slider from NULL and would
    // leave the previous row's state there; NULL shows as cleared.
    const int row = mapper->currentIndex();
    if (row >= 0) {
        if (shots->data(shots->index(row, mapper->mappedSection(prodBox)), Qt::EditRole).isNull())
            prodBox->setChecked(false);
        if (shots->data(shots->index(row, mapper->mappedSection(qualitySlider)), Qt::EditRole).isNull())
            qualitySlider->setValue(qualitySlider->minimum());
    }
    loaded.clear();
    for (QWidget *widget : fieldWidgets())
        loaded.insert(widget, formWidgetValue(widget));
}

void ShotInfoWidget::clearFields()
{
    filenameLabel->clear();
    for (QTextEdit *edit : {locationEdit, shotTypeEdit, notesEdit})
        edit->clear();
    for (QLineEdit *edit : {sceneEdit, shotEdit, durationEdit, takesEdit, relatedEdit, descIdEdit})
        edit->clear();
    prodBox->setChecked(false);
    qualitySlider->setValue(qualitySlider->minimum());
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
    takeSnapshot();
    for (auto it = typing.cbegin(); it != typing.cend(); ++it) {
        if (it.value() != loaded.value(it.key()))
            setFormWidgetValue(it.key(), it.value());
    }
    typing.clear();
}

void ShotInfoWidget::rememberRow()
{
    saveChanges();
    const int row = mapper->currentIndex();
    rememberedId = row >= 0 ? shots->idOfRow(row) : QVariant();
}

void ShotInfoWidget::restoreRow()
{
    // The grid may have shown the shot again already (it keeps its current
    // row); looking for it among all rows once more would cost time.
    const int shown = mapper->currentIndex();
    if (shown >= 0 && shots->idOfRow(shown) == rememberedId) {
        rowLoaded();
        return;
    }
    const int row = shots->rowOfId(rememberedId);
    if (row >= 0)
        mapper->setCurrentIndex(row);
    else if (shots->rowCount() > 0)
        mapper->toFirst();
    else
        clearFields();
    rowLoaded();
}

void ShotInfoWidget::focusChanged(QWidget *old, QWidget *now)
{
    // Leaving the form counts as finishing the edit, as leaving a grid cell
    // does: the shot is saved at once.
    if (old && isAncestorOf(old) && !(now && isAncestorOf(now)))
        saveChanges();
}
