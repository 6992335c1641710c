#pragma once

#include <QSqlQuery>
#include <QString>

// Decides, for each clip of a scan, whether the shot database accepts it:
// a clip is kept when a row of `shots` has its path as file name and meets
// the condition the user typed. The condition is put in parentheses, so an
// OR in it cannot escape the file-name test. Runs on the default connection;
// when that connection was lost (a server restart), it is reopened once and
// the statement prepared and run again, which is safe for a read.
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
    bool prepareAndRun(const QString &clipPath, bool *found);
    bool runOnce(const QString &clipPath, bool *found, qint64 *elapsedMs);

    bool active = false;
    QString condition;
    QSqlQuery query;
    bool prepared = false;
    QString error;
};
