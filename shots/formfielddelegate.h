#pragma once

#include <QItemDelegate>

class ShotInfoWidget;

// Converts between the details form's widgets and the model's values, in
// both directions, for the form's widget mapper: a NULL quality is a slider
// marked empty, a NULL flag a partly checked box, free text plain text. A
// widget already showing the value is left alone, so a field being typed
// into keeps its cursor and its undo steps when the model changes.
class FormFieldDelegate : public QItemDelegate
{
    Q_OBJECT

public:
    explicit FormFieldDelegate(ShotInfoWidget *form);

    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    // Records the widget's value as what the user typed (not saved yet).
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;

    // Shows value in widget as the form does.
    static void setWidgetValue(QWidget *widget, const QVariant &value);
    // True when the widget shows value already.
    static bool shows(const QWidget *widget, const QVariant &value);

private:
    ShotInfoWidget *form;
};
