#pragma once

#include <QString>
#include <QStringList>

class StatementRunner;

// The optional tables shot_media and shot_posters on a connection: whether
// they are there as this client uses them, the one line that says how to
// turn on what needs them, and the administrator's set-up. The statements
// go through the caller's runner, on the thread that owns its connection.
namespace MediaTables {

struct State
{
    bool media = false;     // shot_media is there with every column used
    bool posters = false;   // shot_posters likewise
    // The server could not be asked (no answer, no connection, a cancel):
    // that says nothing about the tables, so nothing is turned off for it.
    bool connectionLost = false;
    // Why a table cannot be used ("the database has no table shot_media").
    QString reason;

    bool available() const { return media && posters; }
};

State check(StatementRunner &runner);

// One line for a state that lacks a table: what is off, why, and the
// command that turns it on. Empty when both tables are there, or when the
// connection was lost (which says nothing about them).
QString enableHint(const State &state);

struct Setup
{
    bool ok = false;
    QStringList created;   // the tables this run created
    QString error;         // the server's reason when something failed

    // "Created the table shot_media." lines, or that nothing changed.
    QString text() const;
};

// Creates the tables that are missing, in the database the runner's
// connection uses. Run again, it creates nothing and says so. A table that
// exists but lacks a column this client uses is an error, not replaced.
Setup setup(StatementRunner &runner);

} // namespace MediaTables
