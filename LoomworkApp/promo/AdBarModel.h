#pragma once

#include <optional>

#include <QImage>
#include <QRectF>
#include <QUrl>

#include "online/RemoteConfig.h"

// What the advertising bar shows for a configuration: its form, link, darkening and the
// geometry of the banner form. Plain rules, so that tests need no widgets.
namespace AdBarModel {

enum class Form {
    none,
    banner,
    overlay,
    plain
};

inline constexpr qreal kOverlayHeight = 76;
inline constexpr qreal kBannerMinHeight = 44;
inline constexpr qreal kBannerMaxHeight = 200;
inline constexpr qreal kEdgeStripFraction = 0.006;

Form form(const RemoteConfig& config, bool dismissed);
// The bar's link: the configured one when SafeLink allows it.
std::optional<QUrl> link(const RemoteConfig& config);
// The overlay's darkening, 0.05 to 0.95 (0.58 without a value).
qreal overlayOpacity(const RemoteConfig& config);

struct Banner
{
    qreal width = 0;
    qreal height = 0;
    qreal shown = 0;   // the width the picture covers at that height
    qreal gap = 0;     // the width it leaves on the right
    QRectF stripRect;  // where the stretched edge strip is drawn (when gap > 1)
    qreal blurRadius = 0;
};

// The banner's height for a width: `fixedHeight` when above 20, else the picture's
// proportion within 44 to 200; 0 without a picture.
qreal bannerHeight(qreal width, qreal ratio, std::optional<qreal> fixedHeight);
Banner banner(qreal width, qreal ratio, std::optional<qreal> fixedHeight);
// The rightmost `fraction` of the picture's pixel columns (at least 6); null when the
// picture is too narrow for one.
QImage rightEdgeStrip(const QImage& picture, qreal fraction);

} // namespace AdBarModel
