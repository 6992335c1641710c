#pragma once

#include <QString>

class QSqlDatabase;
class QSettings;

// The five connection values the login dialog keeps in the settings store
// (organisation "Corvanest", application "Tavelo Client").
namespace ConnectionKeys {
inline const char organisation[] = "Corvanest";
inline const char application[] = "Tavelo Client";
inline const char server[] = "Connection/server";
inline const char database[] = "Connection/db";
inline const char userName[] = "Connection/username";
inline const char password[] = "Connection/pw";
inline const char rootPath[] = "Connection/rootpath";
} // namespace ConnectionKeys

struct ConnectionSettings
{
    QString server;
    QString database;
    QString userName;
    QString password;
    QString rootPath;

    static ConnectionSettings load();
    // Writes the five keys and makes them durable before returning. On Unix
    // the store holds the password in clear text, so its file is kept
    // readable by its owner only.
    bool save() const;
};

// Where the server field points: a host with an optional port, or a local
// socket. Accepted forms: "host", "host:port", "[v6addr]:port", a bare IPv6
// address, and a socket path starting with "/".
struct ServerAddress
{
    QString host;
    int port = -1;   // -1: the driver's default port
    QString socket;  // non-empty: connect through this local socket
    QString error;   // non-empty when the text cannot be understood

    bool isValid() const { return error.isEmpty(); }
};

ServerAddress parseServerAddress(const QString &text);

// Seconds the driver may spend reaching the server before giving up.
inline constexpr int connectTimeoutSeconds = 10;
// Seconds the driver waits for the server to take or answer one statement.
// Without a limit a stalled server blocks the client for ever.
inline constexpr int statementTimeoutSeconds = 30;
// Environment variable that shortens both limits (whole seconds), for tests
// that stall a server of their own.
inline constexpr char timeoutVariable[] = "TAVELO_DB_TIMEOUT";

// The limits in force: the constants above, or the value of the environment
// variable when it is a positive number (the connect limit never exceeds it).
int effectiveConnectTimeout();
int effectiveStatementTimeout();

// Applies a server field's text to a connection: host, port, socket, the
// connect and statement time limits, and CLIENT_FOUND_ROWS (an UPDATE that
// writes the value already stored then counts its row, which the shot
// model's old-value check relies on). Returns the parse result so callers
// can report errors.
ServerAddress applyServerAddress(QSqlDatabase &db, const QString &serverText);
