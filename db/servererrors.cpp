#include "db/servererrors.h"

#include <QRegularExpression>
#include <QStringList>

namespace ServerError {

Refusal refusalOf(const QString &nativeCode)
{
    if (nativeCode.isEmpty() || meansLostConnection(nativeCode))
        return Refusal::None;
    if (nativeCode == QLatin1String("1406"))
        return Refusal::TooLong;
    static const QStringList badValue = {QStringLiteral("1366"), QStringLiteral("1264"), QStringLiteral("1265")};
    if (badValue.contains(nativeCode))
        return Refusal::BadValue;
    static const QStringList noRight = {QStringLiteral("1142"), QStringLiteral("1143"), QStringLiteral("1044")};
    if (noRight.contains(nativeCode))
        return Refusal::NoRight;
    if (nativeCode == QLatin1String("1146"))
        return Refusal::NoSuchTable;
    return Refusal::Other;
}

bool meansLostConnection(const QString &nativeCode)
{
    // Server has gone away, lost during query, cannot connect (socket,
    // TCP), the server shut down or killed the connection, idle limit
    // reached, lost while reading a packet.
    static const QStringList codes = {"2006", "2013", "2002", "2003", "2055", "1053",
                                      "1927", "4031", "2026", "2048"};
    return codes.contains(nativeCode);
}

QString columnNamed(const QString &serverText)
{
    // The server quotes the column it names: "... for column 'scene' at row 1".
    static const QRegularExpression named(QStringLiteral("column '([^']+)'"));
    const QRegularExpressionMatch match = named.match(serverText);
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace ServerError
