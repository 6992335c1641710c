#include "db/connectionsettings.h"

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QSettings>
#include <QSqlDatabase>
#include <QStringList>

namespace {

constexpr QFileDevice::Permissions ownerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;

void restrictToOwner(const QString &fileName)
{
#ifndef Q_OS_WIN
    if (fileName.isEmpty())
        return;
    QFileInfo info(fileName);
    if (!info.exists()) {
        // Create it private before the store writes, so the password is
        // never readable by others, not even for a moment.
        QDir().mkpath(info.absolutePath());
        QFile file(fileName);
        file.open(QIODevice::WriteOnly, ownerOnly);
        return;
    }
    QFile::setPermissions(fileName, ownerOnly);
#else
    Q_UNUSED(fileName);
#endif
}

} // namespace

ConnectionSettings ConnectionSettings::load()
{
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    ConnectionSettings s;
    s.server = store.value(ConnectionKeys::server, QVariant()).toString();
    s.database = store.value(ConnectionKeys::database, QVariant()).toString();
    s.userName = store.value(ConnectionKeys::userName, QVariant()).toString();
    s.password = store.value(ConnectionKeys::password, QVariant()).toString();
    s.rootPath = store.value(ConnectionKeys::rootPath, QVariant()).toString();
    return s;
}

bool ConnectionSettings::save() const
{
    QSettings store(ConnectionKeys::organisation, ConnectionKeys::application);
    restrictToOwner(store.fileName());
    store.setValue(ConnectionKeys::server, QVariant(server));
    store.setValue(ConnectionKeys::database, QVariant(database));
    store.setValue(ConnectionKeys::userName, QVariant(userName));
    store.setValue(ConnectionKeys::password, QVariant(password));
    store.setValue(ConnectionKeys::rootPath, QVariant(rootPath));
    store.sync();
    restrictToOwner(store.fileName());
    return store.status() == QSettings::NoError;
}

ServerAddress parseServerAddress(const QString &text)
{
    ServerAddress address;
    const QString value = text.trimmed();

    if (value.startsWith(QLatin1Char('/'))) {
        address.socket = value;
        return address;
    }

    auto takePort = [&address](const QString &portText) {
        bool ok = false;
        const int port = portText.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            address.error = QStringLiteral("\"%1\" is not a port number (1 to 65535).").arg(portText);
        else
            address.port = port;
    };

    if (value.startsWith(QLatin1Char('['))) {
        const int close = value.indexOf(QLatin1Char(']'));
        if (close < 0) {
            address.error = QStringLiteral("The server \"%1\" lacks the closing \"]\" of its IPv6 address.").arg(value);
            return address;
        }
        address.host = value.mid(1, close - 1);
        const QString rest = value.mid(close + 1);
        if (rest.startsWith(QLatin1Char(':')))
            takePort(rest.mid(1));
        else if (!rest.isEmpty())
            address.error = QStringLiteral("Unexpected text \"%1\" after the IPv6 address.").arg(rest);
        return address;
    }

    // More than one colon without brackets is a bare IPv6 address.
    if (value.count(QLatin1Char(':')) == 1) {
        const int colon = value.indexOf(QLatin1Char(':'));
        address.host = value.left(colon);
        takePort(value.mid(colon + 1));
        return address;
    }

    address.host = value;
    return address;
}

namespace {
int timeoutOverride()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue(timeoutVariable, &ok);
    return ok && seconds > 0 ? seconds : 0;
}
} // namespace

int effectiveConnectTimeout()
{
    const int seconds = timeoutOverride();
    return seconds > 0 ? qMin(seconds, connectTimeoutSeconds) : connectTimeoutSeconds;
}

int effectiveStatementTimeout()
{
    const int seconds = timeoutOverride();
    return seconds > 0 ? seconds : statementTimeoutSeconds;
}

ServerAddress applyServerAddress(QSqlDatabase &db, const QString &serverText)
{
    const ServerAddress address = parseServerAddress(serverText);
    const int statementLimit = effectiveStatementTimeout();
    QStringList options{QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1").arg(effectiveConnectTimeout()),
                        QStringLiteral("MYSQL_OPT_READ_TIMEOUT=%1").arg(statementLimit),
                        QStringLiteral("MYSQL_OPT_WRITE_TIMEOUT=%1").arg(statementLimit),
                        QStringLiteral("CLIENT_FOUND_ROWS")};
    if (!address.socket.isEmpty()) {
        db.setHostName(QStringLiteral("localhost"));
        options << QStringLiteral("UNIX_SOCKET=%1").arg(address.socket);
    } else {
        db.setHostName(address.host);
        db.setPort(address.port);
    }
    db.setConnectOptions(options.join(QLatin1Char(';')));
    return address;
}
