#include "shots/csvexport.h"

#include <QAbstractItemModel>
#include <QSaveFile>

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

Result write(const QAbstractItemModel *model, const QString &path)
{
    Result result;
    QSaveFile file(path);
    // Unbuffered: each write below reports at once how much reached the file.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        result.error = QStringLiteral("%1 could not be written: %2").arg(path, file.errorString());
        return result;
    }
    // A model that fetches its rows lazily hands over all of them first.
    auto *source = const_cast<QAbstractItemModel *>(model);
    while (source->canFetchMore(QModelIndex()))
        source->fetchMore(QModelIndex());

    const int columns = model->columnCount();
    QStringList fields;
    fields.reserve(columns);
    for (int column = 0; column < columns; ++column)
        fields << model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    QByteArray chunk = record(fields).toUtf8();

    const int rows = model->rowCount();
    bool complete = true;
    for (int row = 0; row < rows && complete; ++row) {
        fields.clear();
        for (int column = 0; column < columns; ++column) {
            // NULL is an empty field (a NULL number would print as 0).
            const QVariant value = model->data(model->index(row, column), Qt::EditRole);
            fields << (value.isNull() ? QString() : value.toString());
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
    if (!complete) {
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

} // namespace Csv
