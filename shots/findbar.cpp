#include "shots/findbar.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

FindBar::FindBar(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("findBar"));
    findEdit = new QLineEdit(this);
    findEdit->setObjectName(QStringLiteral("findEdit"));
    findEdit->setPlaceholderText(tr("Find shots: words in file name, scene, notes... (Ctrl+F)"));
    findEdit->setClearButtonEnabled(true);
    findEdit->setToolTip(tr("Shows the shots whose text holds every word typed, in any case. "
                            "Escape clears it."));
    notLoggedBox = new QCheckBox(tr("Not yet &logged"), this);
    notLoggedBox->setObjectName(QStringLiteral("notLoggedBox"));
    notLoggedBox->setToolTip(tr("Only shots without scene, shot and notes. Escape clears it."));
    auto *label = new QLabel(tr("F&ind:"), this);
    label->setBuddy(findEdit);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(4, 2, 4, 2);
    row->addWidget(label);
    row->addWidget(findEdit, 1);
    row->addWidget(notLoggedBox);

    pause = new QTimer(this);
    pause->setSingleShot(true);
    pause->setInterval(150);
    connect(pause, &QTimer::timeout, this, &FindBar::emitNow);
    connect(findEdit, &QLineEdit::textChanged, pause, qOverload<>(&QTimer::start));
    connect(notLoggedBox, &QCheckBox::toggled, this, &FindBar::emitNow);
    findEdit->installEventFilter(this);
    notLoggedBox->installEventFilter(this);
}

QString FindBar::text() const
{
    return findEdit->text();
}

bool FindBar::notYetLogged() const
{
    return notLoggedBox->isChecked();
}

void FindBar::focusFind()
{
    findEdit->setFocus(Qt::ShortcutFocusReason);
    findEdit->selectAll();
}

void FindBar::clear()
{
    const QSignalBlocker blockEdit(findEdit);
    const QSignalBlocker blockBox(notLoggedBox);
    pause->stop();
    findEdit->clear();
    notLoggedBox->setChecked(false);
}

void FindBar::emitNow()
{
    pause->stop();
    emit findChanged(findEdit->text(), notLoggedBox->isChecked());
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape
        && (!findEdit->text().isEmpty() || notLoggedBox->isChecked())) {
        // One filter change, not two.
        const QSignalBlocker blockEdit(findEdit);
        const QSignalBlocker blockBox(notLoggedBox);
        findEdit->clear();
        notLoggedBox->setChecked(false);
        emitNow();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
