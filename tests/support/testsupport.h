#pragma once

// What the tests share for windows and the real client, on top of the core
// half (coretestsupport.h), which every test gets through this header too.
#include "coretestsupport.h"

#include <QProcessEnvironment>
#include <QString>

#include <functional>

class GridWidget;
class QWidget;

// Writes a picture of the widget to the screenshot folder under the build
// folder, so anyone can look at a window without a display. Returns the path.
QString saveScreenshot(QWidget *widget, const QString &name);

// Calls action once with the first modal widget of the given class that
// becomes active, polling from the event loop (also from nested loops such as
// QDialog::exec). Gives up silently after timeoutMs.
void whenModal(const char *className, std::function<void(QWidget *)> action, int timeoutMs = 10000);

// Runs the event loop until the database work of a main window's grid is
// done (reads, saves, undos), for up to 20 s; false when it is not.
bool settle(const GridWidget *grid);

// The real client, run in a child process and driven by the test plug-in
// (tests/driver) through the steps of script.
struct ClientRun
{
    bool finished = false;  // false: it had to be killed after the timeout
    bool crashed = false;
    int exitCode = -1;
    QString log;            // standard error: the driver's lines among them
};

// home holds the client's settings (home/config/Corvanest/Tavelo Client.conf);
// extra adds to or overrides the child's environment.
ClientRun runClient(const QString &script, const QString &home, const QString &workingDirectory = QString(),
                    const QProcessEnvironment &extra = QProcessEnvironment());
