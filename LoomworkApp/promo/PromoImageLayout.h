#pragma once

#include <optional>

#include <QSize>

// The sizing rules of the promotion image dialog, shared by the carousel (which opens the
// dialog at the size of an already held picture) and the dialog (which resizes itself once
// its picture is there). Sizes are whole points, rounded half away from zero.
namespace PromoImageLayout {

inline constexpr int kDefaultSide = 236;
inline constexpr int kSidePadding = 24;
inline constexpr int kTopPadding = 30;
// Title, subtitle and spacing above the picture plate.
inline constexpr int kChrome = 79;
inline constexpr int kMinWidth = 340;

// The size to draw a picture of natural size `picture` (absent: none at hand) in `limit`.
QSize imageSize(const std::optional<QSize>& picture, const QSize& limit);
// The dialog's width for a drawn picture size.
int dialogWidth(const QSize& image, const QSize& limit);
// The padding under the picture.
int bottomPad(const QSize& image, const QSize& limit);
// The dialog's height before the limit is applied.
int dialogHeight(const QSize& image, const QSize& limit);
// The box the dialog must fit in: 0.8 of the host window (floored; at least 360 wide and,
// less 28 for the title bar, 300 high), or 944 by 596 without a host.
QSize limitBox(const std::optional<QSize>& hostSize);

} // namespace PromoImageLayout
