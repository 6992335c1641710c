#include "shots/formfielddelegate.h"

#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTextEdit>

FormFieldDelegate::FormFieldDelegate(ShotInfoWidget *form)
    : QItemDelegate(form)
    , form(form)
{
}

void FormFieldDelegate::setWidgetValue(QWidget *widget, const QVariant &value)
{
    if (auto *label = qobject_cast<QLabel *>(widget))
        label->setText(value.toString());
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        edit->setText(value.toString());
    else if (auto *edit = qobject_cast<QTextEdit *>(widget))
        edit->setPlainText(value.toString());
    else if (auto *box = qobject_cast<QCheckBox *>(widget)) {
        if (value.isNull() || !value.isValid()) {
            box->setTristate(true);
            box->setCheckState(Qt::PartiallyChecked);
            box->setText(QStringLiteral("not set"));
        } else {
            box->setTristate(false);
            box->setChecked(value.toInt() != 0);
        }
    } else if (auto *slider = qobject_cast<QSlider *>(widget)) {
        const bool empty = value.isNull() || !value.isValid();
        slider->setProperty("empty", empty);
        slider->setValue(empty ? slider->minimum() : value.toInt());
    }
}

bool FormFieldDelegate::shows(const QWidget *widget, const QVariant &value)
{
    const bool null = value.isNull() || !value.isValid();
    if (auto *label = qobject_cast<const QLabel *>(widget))
        return label->text() == value.toString();
    // An empty text field shows NULL and the empty text alike.
    if (auto *edit = qobject_cast<const QLineEdit *>(widget))
        return edit->text() == value.toString();
    if (auto *edit = qobject_cast<const QTextEdit *>(widget))
        return edit->toPlainText() == value.toString();
    const QVariant shown = formWidgetValue(widget);
    if (null || shown.isNull())
        return null && shown.isNull();
    if (auto *slider = qobject_cast<const QSlider *>(widget)) // a value beyond the slider shows at its end
        return slider->value() == qBound(slider->minimum(), value.toInt(), slider->maximum());
    return shown.toInt() == value.toInt();
}

void FormFieldDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    form->showStoredValue(editor, index.data(Qt::EditRole));
}

void FormFieldDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    model->setData(index, formWidgetValue(editor), ShotTableModel::TypingRole);
}
