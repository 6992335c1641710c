#pragma once

#include <QObject>
#include <QString>

// Decides, for each clip of a scan, whether the shot database accepts it:
// a clip is kept when a row of `shots` has its path as file name and meets
// the condition the user typed. The condition is put in parentheses, so an
// OR in it cannot escape the file-name test. The statement runs on the
// database thread (DbWorker), and the caller waits for it in a local event
// loop, so the window keeps painting while the server thinks; a connection
// that was lost (a server restart) is reopened once and the statement run
// again, which is safe for a read.
class ScanFilter
{
public:
    enum Verdict { Accepted, Skipped, Failed };

    // An empty condition (or offline mode) filters nothing and never
    // touches the database.
    ScanFilter(bool online, const QString &condition);

    bool isActive() const { return active; }
    // The statement as it is sent, for messages and tests.
    QString statement() const;

    // Prepares the statement and runs it once, so a condition the server
    // rejects is found before the scan queues anything.
    bool check();
    Verdict verdict(const QString &clipPath);
    // Why the condition cannot be used as one, or empty: its brackets must
    // pair up, so it cannot close the statement's own.
    static QString conditionProblem(const QString &condition);
    // The server's error after check() or verdict() failed.
    QString errorString() const { return error; }

private:
    bool active = false;
    QString condition;
    bool checked = false;   // the condition's brackets and quotes were looked at
    QString error;
    QObject answers;        // receives the database thread's answers while this filter lives
};
