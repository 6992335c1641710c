#pragma once

#include <QString>

// The server's error numbers, named once: the rest of the client asks what
// kind of refusal an error was, and never compares numbers itself.
// MariaDB and MySQL share these numbers.
namespace ServerError {

// Why the server refused a statement on a working connection.
enum class Refusal {
    None,        // no error number, or one that is no refusal (a lost connection)
    TooLong,     // a value is longer than its column holds (1406)
    BadValue,    // a value its column cannot hold: not a number, out of range, cut (1366, 1264, 1265)
    NoRight,     // the user may not do this to the table or database (1142, 1143, 1044)
    NoSuchTable, // the table is not there (1146)
    Other,       // any other refusal
};

Refusal refusalOf(const QString &nativeCode);

// Client and server error numbers that mean the connection is gone (closed
// by the server, lost mid-statement, never reached), not a refused statement.
bool meansLostConnection(const QString &nativeCode);

// The column a refusal names ("Data too long for column 'os_user' at row 1"
// names os_user), or an empty text when the server named none.
QString columnNamed(const QString &serverText);

} // namespace ServerError
