#include "files/partialfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#endif

namespace {
const QLatin1String partialSuffix(".partial");
} // namespace

QString PartialFile::hostTag()
{
    QString host = QSysInfo::machineHostName();
    for (QChar &c : host) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            || c == QLatin1Char('.') || c == QLatin1Char('_') || c == QLatin1Char('-');
        if (!plain)
            c = QLatin1Char('_');
    }
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

QString PartialFile::pathFor(const QString &finalPath, const QString &host, qint64 pid)
{
    const int slash = int(finalPath.lastIndexOf(QLatin1Char('/')));
    return finalPath.left(slash + 1) + QLatin1Char('.') + finalPath.mid(slash + 1) + QLatin1Char('.') + host
        + QLatin1Char('-') + QString::number(pid) + partialSuffix;
}

QString PartialFile::pathFor(const QString &finalPath)
{
    return pathFor(finalPath, hostTag(), QCoreApplication::applicationPid());
}

bool PartialFile::isPartialName(const QString &fileName)
{
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\..+-\\d+\\.partial$"));
    return fileName.endsWith(partialSuffix) && pattern.match(fileName).hasMatch();
}

QList<PartialFile::Leftover> PartialFile::classify(const QStringList &paths, const QString &ownHost, qint64 ownPid,
                                                   const std::function<bool(qint64)> &isRunning)
{
    // This host's name is known, so its files are read exactly even when
    // the final name or the host name holds dots; another host's name is
    // read as well as the output names allow, for the log only.
    const QRegularExpression own(QStringLiteral("^\\.(.+)\\.") + QRegularExpression::escape(ownHost)
                                 + QStringLiteral("-(\\d+)\\.partial$"));
    static const QRegularExpression other(QStringLiteral("^\\.(.+\\.(?:mov|dv))\\.(.+)-(\\d+)\\.partial$"));
    QList<Leftover> result;
    for (const QString &path : paths) {
        const QString name = QFileInfo(path).fileName();
        if (!isPartialName(name))
            continue;
        Leftover leftover;
        leftover.path = path;
        const QRegularExpressionMatch ownMatch = own.match(name);
        if (ownMatch.hasMatch()) {
            leftover.finalName = ownMatch.captured(1);
            leftover.host = ownHost;
            leftover.pid = ownMatch.captured(2).toLongLong();
            if (leftover.pid == ownPid || !isRunning(leftover.pid)) {
                leftover.action = Leftover::Remove;
                leftover.reason = QStringLiteral("left by process %1 of this machine, which is no longer running")
                                      .arg(leftover.pid);
            } else {
                leftover.reason = QStringLiteral("process %1 of this machine still runs and may be writing it")
                                      .arg(leftover.pid);
            }
        } else if (const QRegularExpressionMatch match = other.match(name); match.hasMatch()) {
            leftover.finalName = match.captured(1);
            leftover.host = match.captured(2);
            leftover.pid = match.captured(3).toLongLong();
            leftover.reason = QStringLiteral("written on the machine %1, which may still be writing it on this "
                                             "shared disk; remove it by hand once it is not")
                                  .arg(leftover.host);
        } else {
            leftover.reason = QStringLiteral("a temporary file whose writer cannot be told from its name; remove "
                                             "it by hand once nothing writes it");
        }
        result << leftover;
    }
    return result;
}

bool PartialFile::processRunning(qint64 pid)
{
    if (pid <= 0)
        return false;
#ifdef Q_OS_WIN
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
#ifdef Q_OS_LINUX
    // An ended process whose parent has not collected it yet still has its
    // id; it writes nothing any more.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const int close = int(line.lastIndexOf(')'));
        if (close > 0 && line.size() > close + 2 && line.at(close + 2) == 'Z')
            return false;
    }
#endif
    return true;
#endif
}
