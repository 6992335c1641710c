#include "shots/shotrow.h"

#include <QtEndian>

namespace {
enum Tag : char {
    NullText = 0,
    NullNumber = 1,
    Int32 = 2,
    Int64 = 3,
    Text = 4,  // UTF-8 (a byte array handed in)
    Real = 5,
    Text16 = 6, // text as the toolkit holds it: no conversion either way
    Latin1 = 7, // text whose characters all fit in one byte each
};

bool fitsLatin1(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return false;
    }
    return true;
}

bool isNumber(int type)
{
    switch (type) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Bool:
        return true;
    default:
        return false;
    }
}
} // namespace

ShotRow::ShotRow(const QVariantList &values)
{
    for (const QVariant &value : values)
        append(value);
}

void ShotRow::encode(QByteArray &out, const QVariant &value)
{
    const int type = value.metaType().id();
    if (value.isNull() || !value.isValid()) {
        out += char(isNumber(type) || type == QMetaType::Double ? NullNumber : NullText);
        return;
    }
    if (isNumber(type)) {
        const qint64 number = value.toLongLong();
        if (number >= std::numeric_limits<qint32>::min() && number <= std::numeric_limits<qint32>::max()) {
            char raw[4];
            qToLittleEndian(qint32(number), raw);
            out += char(Int32);
            out.append(raw, 4);
        } else {
            char raw[8];
            qToLittleEndian(number, raw);
            out += char(Int64);
            out.append(raw, 8);
        }
        return;
    }
    if (type == QMetaType::Double || type == QMetaType::Float) {
        const double real = value.toDouble();
        char raw[8];
        memcpy(raw, &real, 8);
        out += char(Real);
        out.append(raw, 8);
        return;
    }
    char length[4];
    if (type == QMetaType::QByteArray) {
        const QByteArray text = value.toByteArray();
        qToLittleEndian(quint32(text.size()), length);
        out += char(Text);
        out.append(length, 4);
        out += text;
        return;
    }
    const QString text = value.toString();
    if (fitsLatin1(text)) {
        qToLittleEndian(quint32(text.size()), length);
        out += char(Latin1);
        out.append(length, 4);
        const qsizetype at = out.size();
        out.resize(at + text.size());
        char *to = out.data() + at;
        for (const QChar c : text)
            *to++ = char(c.unicode());
        return;
    }
    const qsizetype bytes = text.size() * qsizetype(sizeof(QChar));
    qToLittleEndian(quint32(bytes), length);
    out += char(Text16);
    out.append(length, 4);
    out.append(reinterpret_cast<const char *>(text.constData()), bytes);
}

void ShotRow::Builder::append(const QVariant &value)
{
    encode(scratch, value);
    ++fields;
}

ShotRow ShotRow::Builder::take()
{
    ShotRow row;
    row.bytes = QByteArray(scratch.constData(), scratch.size());
    row.fields = fields;
    scratch.resize(0); // keeps its room for the next row
    fields = 0;
    return row;
}

void ShotRow::append(const QVariant &value)
{
    encode(bytes, value);
    ++fields;
}

int ShotRow::fieldStart(int column, int *next) const
{
    int at = 0;
    for (int i = 0; i <= column; ++i) {
        const int start = at;
        switch (bytes.at(at)) {
        case Int32:
            at += 5;
            break;
        case Int64:
        case Real:
            at += 9;
            break;
        case Text:
        case Text16:
        case Latin1:
            at += 5 + int(qFromLittleEndian<quint32>(bytes.constData() + at + 1));
            break;
        default:
            at += 1;
            break;
        }
        if (i == column) {
            *next = at;
            return start;
        }
    }
    return -1;
}

QVariant ShotRow::value(int column) const
{
    if (column < 0 || column >= fields)
        return QVariant();
    int next = 0;
    const int at = fieldStart(column, &next);
    const char *data = bytes.constData() + at;
    switch (data[0]) {
    case NullNumber:
        return QVariant(QMetaType::fromType<int>());
    case Int32:
        return int(qFromLittleEndian<qint32>(data + 1));
    case Int64:
        return qFromLittleEndian<qint64>(data + 1);
    case Real: {
        double real = 0;
        memcpy(&real, data + 1, 8);
        return real;
    }
    case Text:
        return QString::fromUtf8(data + 5, next - at - 5);
    case Latin1:
        return QString::fromLatin1(data + 5, next - at - 5);
    case Text16: {
        // The bytes need not be aligned for QChar: copied as bytes.
        QString text((next - at - 5) / qsizetype(sizeof(QChar)), Qt::Uninitialized);
        memcpy(text.data(), data + 5, size_t(next - at - 5));
        return text;
    }
    default:
        return QVariant(QMetaType::fromType<QString>());
    }
}

bool ShotRow::textInto(int column, QString *out) const
{
    if (column < 0 || column >= fields)
        return false;
    int next = 0;
    const int at = fieldStart(column, &next);
    const char *data = bytes.constData() + at;
    switch (data[0]) {
    case Text16: {
        out->resize((next - at - 5) / qsizetype(sizeof(QChar)));
        memcpy(out->data(), data + 5, size_t(next - at - 5));
        return true;
    }
    case Latin1: {
        const qsizetype size = next - at - 5;
        out->resize(size);
        QChar *to = out->data();
        for (qsizetype i = 0; i < size; ++i)
            to[i] = QChar(uchar(data[5 + i]));
        return true;
    }
    case NullNumber:
    case NullText:
        return false;
    default:
        *out = value(column).toString();
        return true;
    }
}

QVariantList ShotRow::values() const
{
    QVariantList list;
    list.reserve(fields);
    for (int column = 0; column < fields; ++column)
        list << value(column);
    return list;
}

void ShotRow::setValue(int column, const QVariant &value)
{
    if (column < 0 || column >= fields)
        return;
    int next = 0;
    const int at = fieldStart(column, &next);
    QByteArray field;
    encode(field, value);
    bytes.replace(at, next - at, field);
}
