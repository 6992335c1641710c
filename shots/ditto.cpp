#include "shots/ditto.h"

namespace Ditto {

QVariant value(const QString &column, const QVariant &above)
{
    if (column != QLatin1String("takes") || above.isNull())
        return above;
    const QString next = nextNumber(above.toString());
    return next.isEmpty() ? above : QVariant(next);
}

QString nextNumber(const QString &text)
{
    QString digits = text.trimmed();
    if (digits.isEmpty())
        return QString();
    for (const QChar c : std::as_const(digits)) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return QString();
    }
    // Added in the text itself, so no count is too long for it.
    for (qsizetype i = digits.size() - 1; i >= 0; --i) {
        if (digits.at(i) != QLatin1Char('9')) {
            digits[i] = QChar(digits.at(i).unicode() + 1);
            return digits;
        }
        digits[i] = QLatin1Char('0');
    }
    return QLatin1Char('1') + digits;
}

} // namespace Ditto
