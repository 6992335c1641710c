#pragma once

#include <QKeySequence>
#include <QList>

class QAction;

// Gives an action its keys: the platform's standard keys (each platform
// binds a standard key to sequences of its own: Redo is Ctrl+Y and
// Ctrl+Shift+Z on Windows, Ctrl+Shift+Z on X11) and keys of the client's
// own. What was asked for is kept on the action (the properties
// "standardKeys" and "ownKeys"), so a test can tell, for every platform,
// whether a sequence is bound twice: a sequence bound twice in one window,
// even to one action, is ambiguous to the toolkit, and then does nothing.
void setActionKeys(QAction *action, const QList<QKeySequence::StandardKey> &standard,
                   const QList<QKeySequence> &own = {});
