#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>

#include "db/servercollation.h"
#include "db/statementrunner.h"
#include "shots/shotquery.h"
#include "shots/shotrow.h"

class QSqlDriver;

// The columns of the shots table as the server reports them, learnt with
// the first read of a grid: their order, what each holds and how the
// server compares it.
struct ShotLayout
{
    QStringList columns;               // the table's columns, then the media ones
    int shotColumns = 0;               // columns of shots; the media ones follow
    bool media = false;                // the media tables are there
    bool tags = false;                 // the tables of quick tags are there: "tags" follows the shots' own
    QHash<QString, int> limits;        // characters a text column holds
    QHash<QString, QString> types;     // the server's data type: "int", "varchar", "datetime" ...
    QHash<QString, QString> collations; // of each text column (a media column: of its facts)

    bool isValid() const { return !columns.isEmpty(); }
    // Whether the column (a media fact as "shot_media.name") holds text
    // compared by a collation.
    bool isText(const QString &key) const
    {
        const QString type = types.value(key);
        return type.endsWith(QLatin1String("char")) || type.endsWith(QLatin1String("text"));
    }
    bool isMediaColumn(int column) const { return column >= shotColumns && column < columns.size(); }
};

// What one read brought: the rows and what the model keeps beside them.
struct ShotRows
{
    StatementResult status;
    ShotQuery query;
    ShotLayout layout;          // learnt by this read, or the one it was given
    bool layoutLearnt = false;  // this read learnt it
    QString mediaHint;          // why the media columns are off (the first read only)
    QList<ShotRow> rows;        // each column as stored; a media column as shown ("0:04.004")
    // Per row, the media facts as the server holds them, for sorting and
    // the find: ShotReader::mediaValueNames(), in order. Empty without media.
    QList<ShotRow> mediaValues;
    QList<qint64> lengths;      // per row, the measured length (ms, -1 unknown)
    QStringList summaries;      // per row, the facts in one line
    QHash<qlonglong, int> rowById;
    int projectTotal = -1;      // the project's shots, filter or not
    QString projectName;
    // The collations of the columns read, with the weights of every
    // character the rows hold (those the server could give).
    ServerCollations collations;
};

// Reads shots for the grid and the form: SQL is made here and nowhere
// else, with every value (the project, each typed word) bound, and column
// names only from the table the server reported. Runs on the database
// thread, on the runner's connection. Widget-free.
class ShotReader
{
public:
    // The facts each row keeps of its media for sorting and the find.
    static QStringList mediaValueNames();
    // A value as the grid keeps it: the driver reports a TINYINT (the
    // production flag) as a char, which has no editor and prints as a
    // control character.
    static QVariant normalised(const QVariant &value);
    // The collation the find compares words in: every searched text is
    // brought to it, whatever its column's own.
    static QString findCollation() { return QStringLiteral("utf8mb4_unicode_ci"); }

    explicit ShotReader(StatementRunner &runner, const QString &table = QStringLiteral("shots"));

    // The rows of query. With an invalid layout (a grid's first read) the
    // columns, their limits, types and collations and whether the media
    // tables are there are learnt first. collations holds what earlier
    // reads learnt; the result holds it too, with what this read added.
    ShotRows read(const ShotQuery &query, const ShotLayout &layout, const ServerCollations &collations);
    // One shot's row as stored now, by column name (empty when it is gone).
    // With tags, its quick tags too (as the column "tags").
    StatementResult readShot(qlonglong id, QHash<QString, QVariant> *values, bool tags = false);
    // A project's quick tags in the order of their keys; the defaults when
    // it has none stored.
    StatementResult readProjectTags(int project, QStringList *tags);
    // The text the server makes of a shot's tags, for the shots table's id
    // column as quoted.
    static QString tagsExpression(const QString &idColumn);
    // The values a project's shots hold in the columns the form completes.
    StatementResult readCompletions(int project, QHash<QString, QStringList> *values);

    // The statement that reads query's rows, and the values bound to it.
    struct Statement
    {
        QString text;
        QVariantList values;
        bool joinsMedia = false;
        // The server makes each row's tags: it sorts or finds by them.
        // Otherwise they are read apart, for the shots that have any.
        bool readsTags = false;
    };
    static Statement rowsStatement(const QString &table, const ShotQuery &query, const ShotLayout &layout,
                                   const std::function<QString(const QString &)> &quoted);

private:
    class CharacterScan;
    StatementResult learnLayout(ShotLayout *layout, QString *mediaHint);
    // Reads query's rows into out (by id when byId: they are sorted after);
    // false when they could not be read (out->status says why).
    bool readRows(const ShotQuery &query, bool byId, ShotRows *out);
    QString quoted(const QString &name) const;

    StatementRunner &runner;
    QString table;
};
