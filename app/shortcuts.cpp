#include "app/shortcuts.h"

#include <QAction>
#include <QStringList>
#include <QVariantList>

void setActionKeys(QAction *action, const QList<QKeySequence::StandardKey> &standard, const QList<QKeySequence> &own)
{
    QList<QKeySequence> keys;
    QVariantList standardKeys;
    for (QKeySequence::StandardKey key : standard) {
        keys += QKeySequence::keyBindings(key);
        standardKeys << int(key);
    }
    QStringList ownKeys;
    for (const QKeySequence &key : own) {
        keys << key;
        ownKeys << key.toString(QKeySequence::PortableText);
    }
    action->setProperty("standardKeys", standardKeys);
    action->setProperty("ownKeys", ownKeys);
    action->setShortcuts(keys);
}
