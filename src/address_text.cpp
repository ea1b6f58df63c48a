#include "address_text.h"

#include "register_types.h"

#include <QStringView>

#include <climits>
#include <optional>

namespace {

enum class Decimal { Value, NotANumber, TooLarge };

// A decimal integer (surrounding white space and a sign allowed) as an int.
Decimal parseDecimal(QStringView text, int *value) {
    text = text.trimmed();
    bool negative = false;
    if (!text.isEmpty() && (text.front() == QLatin1Char('+') || text.front() == QLatin1Char('-'))) {
        negative = text.front() == QLatin1Char('-');
        text = text.mid(1);
    }
    if (text.isEmpty())
        return Decimal::NotANumber;
    qint64 magnitude = 0;
    bool tooLarge = false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return Decimal::NotANumber;
        magnitude = magnitude * 10 + (c.unicode() - '0');
        tooLarge = tooLarge || magnitude > qint64(INT_MAX) + 1;
        if (tooLarge)
            magnitude = qint64(INT_MAX) + 1; // keeps accumulating without overflow
    }
    const qint64 signedValue = negative ? -magnitude : magnitude;
    if (tooLarge || signedValue > INT_MAX)
        return Decimal::TooLarge;
    *value = int(signedValue);
    return Decimal::Value;
}

// Text that is not a decimal integer counts as 0, as hosts have always seen
// it; a decimal integer beyond 32 bits is refused rather than wrapped.
std::optional<int> decimalOrZero(QStringView text) {
    int value = 0;
    switch (parseDecimal(text, &value)) {
    case Decimal::Value: return value;
    case Decimal::NotANumber: return 0;
    case Decimal::TooLarge: break;
    }
    return std::nullopt;
}

} // namespace

int parseAddressText(int regType, const QString &text) {
    if (!plc::isKnownType(regType))
        return 0;
    if (plc::kindOf(regType) != plc::ElementKind::Bit)
        return decimalOrZero(text).value_or(-1);
    const int dot = text.indexOf(QLatin1Char('.'));
    if (dot < 0 || text.lastIndexOf(QLatin1Char('.')) != dot)
        return -1;
    const std::optional<int> byte = decimalOrZero(QStringView(text).left(dot));
    const std::optional<int> bit = decimalOrZero(QStringView(text).mid(dot + 1));
    if (!byte || !bit)
        return -1;
    const qint64 bitAddress = qint64(*byte) * 8 + *bit;
    return bitAddress >= INT_MIN && bitAddress <= INT_MAX ? int(bitAddress) : -1;
}
