#include "shots/noticebar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

NoticeBar::NoticeBar(const QString &firstCaption, const QString &secondCaption, QWidget *parent)
    : QFrame(parent)
{
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(0xff, 0xf1, 0xc4));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    label = new QLabel(this);
    label->setObjectName(QStringLiteral("noticeText"));
    // Values shown here are the users' own text, never markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    first = new QPushButton(firstCaption, this);
    second = new QPushButton(secondCaption, this);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(6, 3, 6, 3);
    row->addWidget(label, 1);
    row->addWidget(first);
    row->addWidget(second);
    connect(first, &QPushButton::clicked, this, &NoticeBar::firstChosen);
    connect(second, &QPushButton::clicked, this, &NoticeBar::secondChosen);
    hide();
}

void NoticeBar::setText(const QString &text)
{
    label->setText(text);
}

QString NoticeBar::text() const
{
    return label->text();
}
