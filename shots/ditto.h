#pragma once

#include <QString>
#include <QVariant>

// What Ctrl+D (ditto) puts into a field of the form: the value of the shot
// above, except that the takes count on, so a run of shots is logged with
// one key each. Widget-free.
namespace Ditto {

// The value for column when the shot above holds above: for "takes", a
// whole number plus one ("3" gives "4"); anything else ("3-5", "2 NG",
// empty) and every other column, the value above as it is.
QVariant value(const QString &column, const QVariant &above);

// Text that is only decimal digits (spaces around it aside) plus one, as
// many digits wide as it was or wider ("09" gives "10", "007" gives "008",
// "99" gives "100"); an empty string for any other text.
QString nextNumber(const QString &text);

} // namespace Ditto
