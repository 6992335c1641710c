#pragma once

#include <QByteArray>
#include <QVariant>
#include <QVariantList>

// One shot's values, packed: a project of a hundred thousand shots is held
// whole in memory (so that painting, scrolling and a find's rows never wait
// for the server), and a QVariant per field would take four times the room.
// Each field is a type byte and its bytes: NULL (remembering whether it is
// a number or text, so editors still fit the column), a number, or text:
// one byte a character when every character fits in one (most text; the
// digests always), else as the toolkit holds it. Reading a field walks the
// fields before it: a row has a few dozen. A row takes exactly its room:
// the first read of a large project is bound by the memory it first touches.
class ShotRow
{
public:
    ShotRow() = default;
    explicit ShotRow(const QVariantList &values);

    int count() const { return fields; }
    QVariant value(int column) const;
    // The column as text into out, reusing its room (a number as digits);
    // false when it is NULL.
    bool textInto(int column, QString *out) const;
    QVariantList values() const;
    void setValue(int column, const QVariant &value);
    void append(const QVariant &value);

    // Makes rows one after the other in a room of its own, so each row is
    // allocated once, at its size.
    class Builder
    {
    public:
        void append(const QVariant &value);
        // The row built so far; the builder starts again.
        ShotRow take();

    private:
        QByteArray scratch;
        int fields = 0;
    };

private:
    static void encode(QByteArray &out, const QVariant &value);
    // Where the field starts in bytes, and where the next one does.
    int fieldStart(int column, int *next) const;

    QByteArray bytes;
    int fields = 0;
};
