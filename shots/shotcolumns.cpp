#include "shots/shotcolumns.h"

#include <QCoreApplication>
#include <QHash>

namespace {
struct Words
{
    const char *label;
    const char *description;
};

const QHash<QString, Words> &words()
{
    static const QHash<QString, Words> table = {
        {QStringLiteral("id"), {"Id", "The shot's number in the database"}},
        {QStringLiteral("project"), {"Project", "The project the shot belongs to"}},
        {QStringLiteral("filename"), {"Filename", "The clip's path below the local root"}},
        {QStringLiteral("MD5"), {"MD5", "MD5 digest of the clip's content"}},
        {QStringLiteral("SHA1"), {"SHA-1", "SHA-1 digest of the clip's content"}},
        {QStringLiteral("location"), {"Location", "Where the shot was taken"}},
        {QStringLiteral("scene"), {"Scene", "Scene"}},
        {QStringLiteral("shot"), {"Shot", "Shot within the scene"}},
        {QStringLiteral("prod"), {"Production", "Production flag: checked yes, cleared no, partly checked not set"}},
        {QStringLiteral("duration"), {"Duration (s)", "Duration in seconds"}},
        {QStringLiteral("quality"), {"Quality", "Quality, 0 to 99"}},
        {QStringLiteral("takes"), {"Takes", "Takes"}},
        {QStringLiteral("related"), {"Related Object ID's", "Ids of related objects"}},
        {QStringLiteral("shottype"), {"Shot Type", "Kind of shot (wide, close-up, ...)"}},
        {QStringLiteral("descid"), {"Description ID", "Description id"}},
        {QStringLiteral("notes"), {"Notes", "Notes"}},
        {QStringLiteral("poster"), {"Poster", "A frame of the clip, read at sync"}},
        {QStringLiteral("recorded"), {"Recorded", "When the camera recorded the clip, its own clock and time zone"}},
        {QStringLiteral("tc_in"), {"TC In", "The clip's start timecode, as the camera wrote it"}},
        {QStringLiteral("length"), {"Length", "The clip's measured length"}},
        {QStringLiteral("format"), {"Format", "Picture size, scan and frame rate, or why the clip could not be read"}},
    };
    return table;
}
} // namespace

namespace ShotColumns {

QString label(const QString &column)
{
    const auto found = words().constFind(column);
    return found == words().cend() ? column : QString::fromLatin1(found->label);
}

QString description(const QString &column)
{
    const auto found = words().constFind(column);
    return found == words().cend() ? QString() : QCoreApplication::translate("ShotColumns", found->description);
}

} // namespace ShotColumns
