#include "shots/shotcolumns.h"

#include <QCoreApplication>

#include <algorithm>

namespace ShotColumns {

namespace {
using K = Kind;
// clang-format off
const QList<Column> table = {
    // name, label and description, then: kind, read-only, searched, completed, plain text,
    // logged, place and hidden in the layout for logging, exported, media facts
    {"id",       "Id",                  "The shot's number in the database",
     K::Key,     true,  false, false, false, false,  1, false, true,  nullptr},
    {"project",  "Project",             "The project the shot belongs to",
     K::Project, true,  false, false, false, false, 19, true,  true,  nullptr},
    {"filename", "Filename",            "The clip's path below the local root",
     K::Path,    true,  true,  false, false, false,  2, false, true,  nullptr},
    {"MD5",      "MD5",                 "MD5 digest of the clip's content",
     K::Digest,  true,  false, false, false, false, 17, true,  true,  nullptr},
    {"SHA1",     "SHA-1",               "SHA-1 digest of the clip's content",
     K::Digest,  true,  false, false, false, false, 18, true,  true,  nullptr},
    {"location", "Location",            "Where the shot was taken",
     K::Text,    false, true,  true,  true,  false,  3, false, true,  nullptr},
    {"scene",    "Scene",               "Scene",
     K::Text,    false, true,  true,  false, true,   4, false, true,  nullptr},
    {"shot",     "Shot",                "Shot within the scene",
     K::Text,    false, true,  false, false, true,   5, false, true,  nullptr},
    {"prod",     "Production",          "Production flag: checked yes, cleared no, partly checked not set",
     K::Flag,    false, false, false, false, false,  8, true,  true,  nullptr},
    {"duration", "Duration (s)",        "Duration in seconds",
     K::Text,    false, true,  false, false, false, 10, true,  true,  nullptr},
    {"quality",  "Quality",             "Quality, 0 to 99",
     K::Number,  false, false, false, false, false,  9, true,  true,  nullptr},
    {"takes",    "Takes",               "Takes",
     K::Text,    false, true,  false, false, false,  6, false, true,  nullptr},
    {"related",  "Related Object ID's", "Ids of related objects",
     K::Text,    false, true,  false, false, false, 12, true,  true,  nullptr},
    {"shottype", "Shot Type",           "Kind of shot (wide, close-up, ...)",
     K::Text,    false, true,  true,  true,  false,  7, true,  true,  nullptr},
    {"descid",   "Description ID",      "Description id",
     K::Text,    false, true,  false, false, false, 11, true,  true,  nullptr},
    {"notes",    "Notes",               "Notes",
     K::Text,    false, true,  false, true,  true,  20, false, true,  nullptr},
    // Kept in shot_tags; read-only as a cell: Alt+1 ... Alt+9 and the form's
    // buttons toggle them.
    {"tags",     "Tags",                "The shot's quick tags: Alt+1 ... Alt+9 toggle them",
     K::Tags,    true,  true,  false, false, false,  6, false, true,  nullptr},
    // Read by the sync; the poster is a picture, sorted by the clip's length.
    {"poster",   "Poster",              "A frame of the clip, read at sync",
     K::Media,   true,  false, false, false, false,  0, false, false, "duration_ms"},
    {"recorded", "Recorded",            "When the camera recorded the clip, its own clock and time zone",
     K::Media,   true,  true,  false, false, false, 13, false, true,  "recorded_at"},
    {"tc_in",    "TC In",               "The clip's start timecode, as the camera wrote it",
     K::Media,   true,  true,  false, false, false, 14, false, true,  "start_timecode"},
    {"length",   "Length",              "The clip's measured length",
     K::Media,   true,  false, false, false, false, 15, false, true,  "duration_ms"},
    {"format",   "Format",              "Picture size, scan and frame rate, or why the clip could not be read",
     K::Media,   true,  true,  false, false, false, 16, false, true,  "problem,width,height,frame_rate"},
};
// clang-format on

QStringList namesWhere(bool (*test)(const Column &))
{
    QStringList names;
    for (const Column &column : table) {
        if (test(column))
            names << QLatin1String(column.name);
    }
    return names;
}
} // namespace

const QList<Column> &all()
{
    return table;
}

const Column *find(const QString &name)
{
    for (const Column &column : table) {
        if (name == QLatin1String(column.name))
            return &column;
    }
    return nullptr;
}

QString label(const QString &column)
{
    const Column *found = find(column);
    return found ? QString::fromLatin1(found->label) : column;
}

QString description(const QString &column)
{
    const Column *found = find(column);
    return found ? QCoreApplication::translate("ShotColumns", found->description) : QString();
}

QStringList searched()
{
    return namesWhere([](const Column &c) { return c.searched && c.kind != Kind::Media; });
}

QStringList completed()
{
    return namesWhere([](const Column &c) { return c.completed; });
}

QStringList logged()
{
    return namesWhere([](const Column &c) { return c.logged; });
}

QStringList media()
{
    return namesWhere([](const Column &c) { return c.kind == Kind::Media; });
}

QStringList loggingOrder()
{
    QList<const Column *> columns;
    for (const Column &column : table)
        columns << &column;
    std::stable_sort(columns.begin(), columns.end(),
                     [](const Column *a, const Column *b) { return a->loggingPlace < b->loggingPlace; });
    QStringList names;
    for (const Column *column : std::as_const(columns))
        names << QLatin1String(column->name);
    return names;
}

QStringList loggingHidden()
{
    return namesWhere([](const Column &c) { return c.loggingHidden; });
}

int loggingWidth(const QString &column)
{
    const Column *found = find(column);
    switch (found ? found->kind : Kind::Text) {
    case Kind::Path:
        return 26;
    case Kind::Text:
        return 14;
    case Kind::Media:
        // A column that may say why a clip could not be read has room for
        // its facts; the sentence is cut, its whole text in the tooltip.
        if (mediaFacts(column).contains(QLatin1String("problem")))
            return 20;
        return 40;
    default:
        return 40;
    }
}

QStringList mediaFacts(const QString &column)
{
    const Column *found = find(column);
    if (!found || !found->mediaFacts)
        return {};
    return QString::fromLatin1(found->mediaFacts).split(QLatin1Char(','));
}

bool isReadOnly(const QString &column)
{
    const Column *found = find(column);
    return found && found->readOnly;
}

bool isPlainText(const QString &column)
{
    const Column *found = find(column);
    return found && found->plainText;
}

bool isFlag(const QString &column)
{
    const Column *found = find(column);
    return found && found->kind == Kind::Flag;
}

bool isExported(const QString &column)
{
    const Column *found = find(column);
    return !found || found->exported;
}

bool isTags(const QString &column)
{
    return column == QLatin1String(tagsColumn);
}

bool isMedia(const QString &column)
{
    const Column *found = find(column);
    return found && found->kind == Kind::Media;
}

} // namespace ShotColumns
