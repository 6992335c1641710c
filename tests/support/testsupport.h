#pragma once

#include <QString>
#include <QVariant>

#include <functional>

class QWidget;
class QSqlDatabase;

// Connection details of the throwaway server that scripts/test starts.
namespace TestDb {
bool configured();
// Why the database tests cannot run, for QFAIL.
QString notConfiguredMessage();
QString host();
int port();
QString socket();
QString name();
QString user();
QString password();
// The login's server field for this server: "127.0.0.1:PORT".
QString serverText();

// Opens a connection of the given name (the default one when empty) to the
// test database.
QSqlDatabase open(const QString &connectionName = QString());
// Empties both tables and restarts their ids at 1.
bool reset(QSqlDatabase &db);
// Adds a project and returns its id (0 on failure).
int addProject(QSqlDatabase &db, const QString &name, const QVariant &description);
} // namespace TestDb

// Writes a picture of the widget to the screenshot folder under the build
// folder, so anyone can look at a window without a display. Returns the path.
QString saveScreenshot(QWidget *widget, const QString &name);

// Calls action once with the first modal widget of the given class that
// becomes active, polling from the event loop (also from nested loops such as
// QDialog::exec). Gives up silently after timeoutMs.
void whenModal(const char *className, std::function<void(QWidget *)> action, int timeoutMs = 10000);
