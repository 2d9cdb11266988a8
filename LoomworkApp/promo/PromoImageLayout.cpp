#include "promo/PromoImageLayout.h"

#include <algorithm>
#include <cmath>

namespace {

int roundHalfAway(double value)
{
    return int(std::lround(value));
}

} // namespace

QSize PromoImageLayout::imageSize(const std::optional<QSize>& picture, const QSize& limit)
{
    if (!picture || picture->width() < 1 || picture->height() < 1)
        return {kDefaultSide, kDefaultSide};
    const double usableWidth = std::max(limit.width() - 2 * kSidePadding, kDefaultSide);
    const double usableHeight = std::max(limit.height() - 127, kDefaultSide);
    const double scale = std::min({usableWidth / picture->width(),
                                   usableHeight / picture->height(), 1.0});
    return {roundHalfAway(scale * picture->width()), roundHalfAway(scale * picture->height())};
}

int PromoImageLayout::dialogWidth(const QSize& image, const QSize& limit)
{
    return std::clamp(image.width() + 2 * kSidePadding, kMinWidth,
                      std::max(limit.width(), kMinWidth));
}

int PromoImageLayout::bottomPad(const QSize& image, const QSize& limit)
{
    return std::max(roundHalfAway((dialogWidth(image, limit) - image.width()) / 2.0), kSidePadding);
}

int PromoImageLayout::dialogHeight(const QSize& image, const QSize& limit)
{
    return image.height() + kChrome + bottomPad(image, limit);
}

QSize PromoImageLayout::limitBox(const std::optional<QSize>& hostSize)
{
    const double rawWidth = hostSize ? 0.8 * hostSize->width() : 944;
    const double rawHeight = hostSize ? 0.8 * hostSize->height() : 624;
    return {std::max(int(std::floor(rawWidth)), 360), std::max(int(std::floor(rawHeight)) - 28, 300)};
}
