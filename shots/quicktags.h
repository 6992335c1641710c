#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

// Quick tags: a project's short list of verdicts ("Good", "NG", ...) that
// Alt+1 ... Alt+9 put on and take off shots. A shot's tags are one value,
// "Good, Print": sorted, ", " between them, NULL for none, so they are
// saved, checked, undone and recorded in the history as any field is.
// Tags compare as the server's table does: in any case.
namespace QuickTags {

// What a new project starts with, in the order of their keys.
QStringList defaults();
// Tags get keys 1 to 9; a list may hold more.
inline constexpr int keyed = 9;
// Characters a tag holds (the column's length).
inline constexpr int maxLength = 64;

QStringList split(const QVariant &value);
QVariant joined(QStringList tags);
bool has(const QVariant &value, const QString &tag);
// value with tag put on or taken off.
QVariant toggled(const QVariant &value, const QString &tag, bool on);
// The same tags, whatever their order and case.
bool sameTags(const QVariant &a, const QVariant &b);
// What is wrong with a project's list, in words, or empty: an empty name,
// one too long, one with a comma, the same name twice.
QString problemWith(const QStringList &tags);

} // namespace QuickTags
