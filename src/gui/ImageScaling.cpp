#include "gui/ImageScaling.h"

#include <algorithm>
#include <cmath>

namespace vorn::gui {

QSizeF scaleSizeByFactor(const QSizeF& size, float factor) {
    if (size.width() == 0 && size.height() == 0) return QSizeF(0, 0);
    return QSizeF(size.width() * factor, size.height() * factor);
}

QRect centeredRectForSizeInRect(const QSizeF& size, const QRectF& rect) {
    QSizeF fitted = size;
    if (size.width() > rect.width() || size.height() > rect.height()) {
        if (size.height() / size.width() > rect.height() / rect.width()) {
            fitted = scaleSizeByFactor(size, float(rect.height() / size.height()));
        } else {
            fitted = scaleSizeByFactor(size, float(rect.width() / size.width()));
        }
    }
    const double x = rect.x() + (rect.width() - fitted.width()) * 0.5;
    const double y = rect.y() + (rect.height() - fitted.height()) * 0.5;
    if (fitted.width() <= 0 || fitted.height() <= 0) return QRect();
    const int left = int(std::floor(x)), top = int(std::floor(y));
    const int right = int(std::ceil(x + fitted.width())), bottom = int(std::ceil(y + fitted.height()));
    return QRect(left, top, right - left, bottom - top);
}

QImage imageByScalingProportionallyToSize(const QImage& image, const QSize& target) {
    if (image.isNull()) return QImage();
    const int longestTarget = std::max(target.width(), target.height());
    const int longestSource = std::max(image.width(), image.height());
    double scale = 1.0;
    if (longestSource > longestTarget) scale = double(longestTarget) / longestSource;
    const int w = int(image.width() * scale), h = int(image.height() * scale);
    if (w < 1 || h < 1) return QImage();
    if (w == image.width() && h == image.height()) return image;
    return image.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

}  // namespace vorn::gui
