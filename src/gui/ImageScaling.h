// Image sizes for thumbnails and the viewer: proportional scaling that
// never enlarges, and placing a size centred in a rectangle.
// Pure functions, safe on any thread.
#pragma once

#include <QImage>
#include <QRect>
#include <QSizeF>

namespace vorn::gui {

// The zero size stays zero; else both sides times factor.
QSizeF scaleSizeByFactor(const QSizeF& size, float factor);
// A size that does not fit is shrunk to fit keeping its proportions (one
// that fits is not enlarged), centred in rect, made integral (origin
// floored, far edges ceiled).
QRect centeredRectForSizeInRect(const QSizeF& size, const QRectF& rect);
// Shrinks so that the longer side is at most the target's longer side
// (only the longer sides are compared); never enlarges. Smooth scaling.
QImage imageByScalingProportionallyToSize(const QImage& image, const QSize& target);

}  // namespace vorn::gui
