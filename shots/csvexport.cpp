#include "shots/csvexport.h"

#include <QAbstractItemModel>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace Csv {

namespace {
bool writeAll(QSaveFile &file, const QByteArray &bytes)
{
    return file.write(bytes) == bytes.size();
}
} // namespace

QString field(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString record(const QStringList &fields)
{
    QString line;
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += QLatin1Char(',');
        line += field(fields.at(i));
    }
    line += QLatin1String("\r\n");
    return line;
}

QString spreadsheetText(const QString &text)
{
    if (text.isEmpty())
        return text;
    const QChar first = text.at(0);
    const bool formulaStart = first == QLatin1Char('=') || first == QLatin1Char('+') || first == QLatin1Char('-')
        || first == QLatin1Char('@') || first == QLatin1Char('\t') || first == QLatin1Char('\r');
    if (!formulaStart)
        return text;
    // A signed number, whole or with a decimal point, and nothing else:
    // "-1+1" or "-3e2" are not that and are prefixed.
    static const QRegularExpression number(
        QRegularExpression::anchoredPattern(QStringLiteral("[+-][0-9]+(\\.[0-9]+)?")));
    if (number.match(text).hasMatch())
        return text;
    return QLatin1Char('\'') + text;
}

namespace {
// Writes the header and then the records next() hands over until it
// returns false, through a temporary file renamed only when complete.
Result writeRecords(const QString &path, const QStringList &header,
                    const std::function<bool(QStringList *fields)> &next,
                    const std::function<QString()> &readError = {}, bool forSpreadsheets = false)
{
    Result result;
    QSaveFile file(path);
    // Unbuffered: each write below reports at once how much reached the file.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        result.error = QStringLiteral("%1 could not be written: %2").arg(path, file.errorString());
        return result;
    }
    // Spreadsheet programs opened by double-click take a file without the
    // mark for the local 8-bit encoding.
    QByteArray chunk = forSpreadsheets ? QByteArray("\xEF\xBB\xBF") : QByteArray();
    chunk += record(header).toUtf8();
    QStringList fields;
    bool complete = true;
    while (complete && next(&fields)) {
        // A note typed as "=HYPERLINK(...)" would otherwise run in every
        // spreadsheet the file is opened in.
        if (forSpreadsheets) {
            for (QString &value : fields)
                value = spreadsheetText(value);
        }
        chunk += record(fields).toUtf8();
        ++result.rows;
        if (chunk.size() >= (1 << 20)) {
            complete = writeAll(file, chunk);
            chunk.clear();
        }
    }
    if (complete)
        complete = writeAll(file, chunk);

    // A short write (a full disk, a file size limit) is no error to the
    // file itself, so it is checked above. Either way the temporary file
    // is dropped and the chosen name never holds half an export.
    QString reason;
    const QString notRead = readError ? readError() : QString();
    if (!notRead.isEmpty()) {
        reason = notRead;
        file.cancelWriting();
        file.commit();
    } else if (!complete) {
        reason = file.error() != QFileDevice::NoError
            ? file.errorString()
            : QStringLiteral("the disk is full or the file is too large");
        file.cancelWriting();
        file.commit();
    } else if (!file.commit()) {
        reason = file.errorString();
    }
    if (!reason.isEmpty()) {
        result.rows = 0;
        result.error = QStringLiteral("%1 could not be written: %2. Nothing was saved under that "
                                      "name; choose another folder or free some space and export "
                                      "again.")
                           .arg(path, reason);
        return result;
    }
    result.ok = true;
    return result;
}
} // namespace

Result write(const QString &path, const QStringList &header, const std::function<bool(QStringList *fields)> &next,
             bool forSpreadsheets)
{
    return writeRecords(path, header, next, {}, forSpreadsheets);
}

Result write(const QAbstractItemModel *model, const QString &path)
{
    // A model that fetches its rows lazily hands over all of them first.
    auto *source = const_cast<QAbstractItemModel *>(model);
    while (source->canFetchMore(QModelIndex()))
        source->fetchMore(QModelIndex());
    const int columns = model->columnCount();
    QStringList header;
    for (int column = 0; column < columns; ++column)
        header << model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    const int rows = model->rowCount();
    int row = 0;
    return writeRecords(path, header, [&](QStringList *fields) {
        if (row >= rows)
            return false;
        fields->clear();
        for (int column = 0; column < columns; ++column) {
            // NULL is an empty field (a NULL number would print as 0).
            const QVariant value = model->data(model->index(row, column), Qt::EditRole);
            *fields << (value.isNull() ? QString() : value.toString());
        }
        ++row;
        return true;
    });
}

Result write(QSqlQuery &query, const QString &path,
             const std::function<QString(int column, const QVariant &value)> &text)
{
    const QSqlRecord layout = query.record();
    QStringList header;
    for (int column = 0; column < layout.count(); ++column)
        header << layout.fieldName(column);
    return writeRecords(
        path, header,
        [&](QStringList *fields) {
            if (!query.isActive() || !query.next())
                return false;
            fields->clear();
            for (int column = 0; column < layout.count(); ++column) {
                const QVariant value = query.value(column);
                if (value.isNull())
                    *fields << QString();
                else
                    *fields << (text ? text(column, value) : value.toString());
            }
            return true;
        },
        [&query]() {
            return query.lastError().isValid()
                ? QStringLiteral("the shots could not be read (%1)").arg(query.lastError().text())
                : QString();
        });
}

} // namespace Csv
