#include "engine/templates/VersionNum.h"

#include <cstdint>
#include <algorithm>
#include <limits>
#include <vector>

#include <QList>
#include <QStringView>

namespace {

// Whole-piece integer parse: optional sign, ASCII digits only; anything else (or overflow) is 0.
std::int64_t pieceValue(QStringView piece)
{
    qsizetype i = 0;
    bool negative = false;
    if (!piece.isEmpty() && (piece[0] == u'+' || piece[0] == u'-')) {
        negative = piece[0] == u'-';
        i = 1;
    }
    if (i >= piece.size())
        return 0;
    // Accumulate negatively so that INT64_MIN parses like the platform parser does.
    std::int64_t value = 0;
    for (; i < piece.size(); ++i) {
        const char16_t c = piece[i].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        const int digit = c - u'0';
        if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10)
            return 0;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == std::numeric_limits<std::int64_t>::min())
        return 0;
    return -value;
}

std::vector<std::int64_t> pieces(const QString& version)
{
    std::vector<std::int64_t> out;
    for (const QStringView piece : QStringView(version).split(u'.', Qt::SkipEmptyParts))
        out.push_back(pieceValue(piece));
    return out;
}

} // namespace

std::strong_ordering VersionNum::compare(const QString& a, const QString& b)
{
    const auto pa = pieces(a);
    const auto pb = pieces(b);
    const size_t n = std::max(pa.size(), pb.size());
    for (size_t i = 0; i < n; ++i) {
        const std::int64_t x = i < pa.size() ? pa[i] : 0;
        const std::int64_t y = i < pb.size() ? pb[i] : 0;
        if (x != y)
            return x < y ? std::strong_ordering::less : std::strong_ordering::greater;
    }
    return std::strong_ordering::equal;
}

bool VersionNum::isOlder(const QString& a, const QString& than)
{
    return compare(a, than) == std::strong_ordering::less;
}
