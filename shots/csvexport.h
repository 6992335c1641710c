#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class QAbstractItemModel;
class QSqlQuery;

// Writes the rows of a table model as CSV that spreadsheet programs and
// editing suites import: RFC 4180 (every field quoted, quotes doubled, line
// breaks inside a field kept, CR LF between records), UTF-8, a header row
// of column names. Widget-free.
namespace Csv {

// One field, quoted.
QString field(const QString &text);
// One record: its fields quoted, separated by commas, ended by CR LF.
QString record(const QStringList &fields);

// A value as a spreadsheet program must take it as text, never run it as a
// formula: one that begins with = + - @, a tab or a carriage return gets a
// leading apostrophe, which spreadsheets read as "text follows" and do not
// show. A plain number ("-3", "+2.5") is no formula and stays as it is, so
// it is still read as a number.
QString spreadsheetText(const QString &text);

struct Result
{
    bool ok = false;
    int rows = 0;      // data rows written (the header not counted)
    QString error;     // what went wrong, for the user
};

// Writes the header, then the records next() hands over until it returns
// false. For spreadsheets, the file starts with UTF-8's byte-order mark and
// every value goes through spreadsheetText(); otherwise (CSV for tools)
// values are written exactly. Safe on any thread.
Result write(const QString &path, const QStringList &header,
             const std::function<bool(QStringList *fields)> &next, bool forSpreadsheets = false);

// Writes every row of the model (all columns, in the model's order, under
// the header names) to path. The file is written under a temporary name
// and renamed only once complete: a failure (full disk, no permission)
// leaves nothing under path, and a file already there untouched.
Result write(const QAbstractItemModel *model, const QString &path);

// The same for the rows of an executed query, read forward once: far faster
// than a model's cells for a large project. text turns a column's value
// into its field (the value's text when not given); NULL is always empty.
Result write(QSqlQuery &query, const QString &path,
             const std::function<QString(int column, const QVariant &value)> &text = {});

} // namespace Csv
