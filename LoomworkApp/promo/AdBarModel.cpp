#include "promo/AdBarModel.h"

#include <algorithm>
#include <cmath>

#include "online/SafeLink.h"

AdBarModel::Form AdBarModel::form(const RemoteConfig& config, bool dismissed)
{
    if (config.adShow != true || dismissed)
        return Form::none;
    if (config.adImageOnly())
        return Form::banner;
    if (!config.adHeading())
        return Form::none;
    return config.adOverlay == true ? Form::overlay : Form::plain;
}

std::optional<QUrl> AdBarModel::link(const RemoteConfig& config)
{
    return SafeLink::url(config.adOpenLink());
}

qreal AdBarModel::overlayOpacity(const RemoteConfig& config)
{
    qreal o = config.adOverlayOpacity ? *config.adOverlayOpacity / 100.0 : 0.58;
    if (!std::isfinite(o))
        o = 0.58;
    return std::clamp(o, 0.05, 0.95);
}

qreal AdBarModel::bannerHeight(qreal width, qreal ratio, std::optional<qreal> fixedHeight)
{
    if (fixedHeight && *fixedHeight > 20)
        return *fixedHeight;
    if (ratio <= 0)
        return 0;
    return std::clamp(width / ratio, kBannerMinHeight, kBannerMaxHeight);
}

AdBarModel::Banner AdBarModel::banner(qreal width, qreal ratio, std::optional<qreal> fixedHeight)
{
    Banner b;
    b.width = std::max<qreal>(width, 1);
    b.height = bannerHeight(b.width, ratio, fixedHeight);
    const qreal r = ratio > 0 ? ratio : b.width / std::max<qreal>(b.height, 1);
    b.shown = std::min(b.width, b.height * r);
    b.gap = std::max<qreal>(b.width - b.shown, 0);
    b.stripRect = QRectF(b.shown - 200, -40, b.gap + 260, b.height + 80);
    b.blurRadius = std::min(0.04 * b.gap + 9, 22.0);
    return b;
}

QImage AdBarModel::rightEdgeStrip(const QImage& picture, qreal fraction)
{
    if (picture.isNull())
        return {};
    const int pw = picture.width();
    const int s = std::max(int(std::lround(fraction * pw)), 6);
    if (s + 2 >= pw)
        return {};
    return picture.copy(pw - s, 0, s, picture.height());
}
