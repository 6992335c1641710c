#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What the client knows of each column of shots, and of the media columns it
// shows after them, in one table: the grid's headers and the form's labels,
// the find, the completion, the export and the layout for logging all read
// it. A new column is one line below, plus its editor in the form.
namespace ShotColumns {

enum class Kind {
    Key,     // the shot's number
    Project, // the project it belongs to: the same for every row shown
    Path,    // the clip's path below the local root
    Digest,  // a digest of the clip's content
    Text,    // what the logger types
    Flag,    // yes, no or not set: a check box, never a number
    Number,  // a whole number
    Media,   // read by the sync from the clip's media (the tables shot_media and shot_posters)
    Tags,    // the shot's quick tags (the table shot_tags), toggled by keys, never typed
};

struct Column
{
    const char *name;        // as the server names it (a media column: its own name)
    const char *label;       // in words: the grid's header, the form's label, messages
    const char *description; // for tooltips
    Kind kind;
    bool readOnly;
    bool searched;           // the find field looks in it
    bool completed;          // the form offers the values the project already holds
    bool plainText;          // free text with line breaks; an earlier client may have stored a rich-text document
    bool logged;             // a shot with every such column empty is not yet logged
    int loggingPlace;        // left to right in the layout for logging
    bool loggingHidden;      // hidden in that layout
    bool exported;           // holds a value an export writes (the poster is a picture)
    // A media column: the columns of shot_media it stands for, in the order
    // the server sorts by them ("duration_ms"; "problem,width,height,frame_rate").
    const char *mediaFacts;
};

// Every column known, shots' own first, then the media ones.
const QList<Column> &all();
// The column of that name, or null (a column the server has and this
// client does not know: shown under its name, read-only neither).
const Column *find(const QString &name);

// "Location", "Duration (s)", ...; the column's own name when it has no word.
QString label(const QString &column);
// What the column holds, for tooltips.
QString description(const QString &column);

// The columns the find field searches: the descriptive text and the path, not the digests.
QStringList searched();
// The columns whose values the form offers as completions.
QStringList completed();
// The columns a logger fills in: a shot with all of them empty is not yet logged.
QStringList logged();
// The media columns, in the order they follow the columns of shots.
QStringList media();
// The columns in the order of the layout for logging, and those it hides.
QStringList loggingOrder();
QStringList loggingHidden();
// How wide a column starts in the layout for logging, in characters of
// the grid's font, at most: its cells decide below that. A clip's path has
// room for "raw/Day1/…/00007.MTS", what a logger types for a few words,
// Format for its facts (a sentence saying why a clip could not be read is
// cut); numbers, flags and the other media facts (a recording time with
// its offset) are short by nature and shown whole.
int loggingWidth(const QString &column);
// The columns of shot_media a media column stands for (sorted by, in order).
QStringList mediaFacts(const QString &column);

bool isReadOnly(const QString &column);
bool isPlainText(const QString &column);
bool isFlag(const QString &column);
bool isMedia(const QString &column);
bool isExported(const QString &column);
bool isTags(const QString &column);

// The column that holds a shot's quick tags.
inline constexpr char tagsColumn[] = "tags";

} // namespace ShotColumns
