#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The encoder never writes under an output's final name: it writes a
// temporary file in the same folder, which is renamed to the final name only
// when the encoder succeeded. A final-name file is therefore always complete,
// whatever happened to the client or the machine while it was written.
//
// The temporary name is the final name, hidden and recognisably partial,
// with the host and the process that writes it:
//   .00001.mov.<host>-<pid>.partial
// so the next run can tell its own host's leftovers (whose process is gone)
// from files another workstation may still be writing on a shared disk.
namespace PartialFile {

// This machine's host name as it appears in temporary names: characters
// other than letters, digits, '.', '_' and '-' become '_'.
QString hostTag();

// The temporary name for finalPath, written by process pid on host.
QString pathFor(const QString &finalPath, const QString &host, qint64 pid);
// ... by this process on this machine.
QString pathFor(const QString &finalPath);

// True for a file name of the temporary form (any host, any process).
bool isPartialName(const QString &fileName);

// What a temporary file found in an output tree is, and what a run does
// with it.
struct Leftover
{
    enum Action { Remove, Keep };

    QString path;
    QString finalName;    // the output it was meant to become (file name only)
    QString host;         // empty when the name could not be read
    qint64 pid = 0;
    Action action = Keep;
    QString reason;       // for the log
};

// Sorts the temporary files found in the output trees: those of this host
// whose process is no longer running are removed; those of another host
// (which may still be writing on a shared disk), of another process still
// running, or whose name cannot be read are kept and only logged. A file of
// ownPid itself is stale: a scan never runs beside a job of its own.
// isRunning answers for a process id of this host.
QList<Leftover> classify(const QStringList &paths, const QString &ownHost, qint64 ownPid,
                         const std::function<bool(qint64)> &isRunning);

// Whether a process with this id runs on this machine (a zombie counts as
// gone).
bool processRunning(qint64 pid);

} // namespace PartialFile
