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

// Applies a server field's text to a connection: host, port, socket and the
// connect timeout. Returns the parse result so callers can report errors.
ServerAddress applyServerAddress(QSqlDatabase &db, const QString &serverText);
