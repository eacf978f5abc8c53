#include "gui/BackgroundView.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "gui/CTGradient.h"

namespace vorn::gui {

namespace {

struct Look {
    QColor color;
    const char* pattern;
    Rgba from, to;
    const char* image;
};

const Look& lookOf(BackgroundView::Palette palette) {
    static const Look looks[] = {
        {Qt::magenta, "bricks", {1, 1, 1, 1}, {0.5f, 0.5f, 0.5f, 1}, "smallgears"},
        {Qt::magenta, "bricks", {0.8f, 0.8f, 0.8f, 1}, {0.9f, 0.9f, 0.9f, 1}, "smallgears"},
        {QColor(255, 128, 0), "ice", {1, 1, 1, 1}, {0.7f, 0.8f, 1.0f, 1}, "largegears"},
    };
    return looks[palette];
}

QImage bricks() {
    QImage tile(32, 16, QImage::Format_RGB32);
    tile.fill(QColor(178, 74, 52));
    QPainter p(&tile);
    p.setPen(QPen(QColor(220, 210, 195), 2));
    p.drawLine(0, 1, 32, 1);
    p.drawLine(0, 9, 32, 9);
    p.drawLine(1, 1, 1, 9);
    p.drawLine(17, 9, 17, 16);
    return tile;
}

QImage ice() {
    QImage tile(24, 24, QImage::Format_RGB32);
    tile.fill(QColor(214, 234, 248));
    QPainter p(&tile);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(255, 255, 255), 1.5));
    p.drawLine(2, 22, 22, 2);
    p.setPen(QPen(QColor(180, 210, 235), 1));
    p.drawLine(0, 12, 12, 0);
    p.drawLine(12, 24, 24, 12);
    return tile;
}

// A gear: a ring of teeth around a disc with a hole.
void drawGear(QPainter& p, QPointF centre, double radius, int teeth, const QColor& color) {
    QPainterPath path;
    const double inner = radius * 0.8;
    for (int i = 0; i < teeth * 2; ++i) {
        const double r = i % 2 ? inner : radius;
        const double a0 = M_PI * i / teeth, a1 = M_PI * (i + 1) / teeth;
        const QPointF p0 = centre + QPointF(std::cos(a0), std::sin(a0)) * r;
        const QPointF p1 = centre + QPointF(std::cos(a1), std::sin(a1)) * r;
        if (i == 0) {
            path.moveTo(p0);
        } else {
            path.lineTo(p0);
        }
        path.lineTo(p1);
    }
    path.closeSubpath();
    path.addEllipse(centre, radius * 0.3, radius * 0.3);
    p.fillPath(path, color);
}

QImage gears(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawGear(p, QPointF(size * 0.38, size * 0.4), size * 0.34, 10, QColor(90, 100, 120));
    drawGear(p, QPointF(size * 0.72, size * 0.72), size * 0.24, 8, QColor(140, 150, 170));
    return image;
}

}  // namespace

BackgroundView::BackgroundView(Palette palette, QWidget* parent) : QWidget(parent), palette(palette) {}

void BackgroundView::setBackgroundStyle(int newStyle) {
    style = newStyle;
    if (palette != Background) update();
}

QImage BackgroundView::namedImage(const QString& name) {
    static QHash<QString, QImage> images;
    auto it = images.find(name);
    if (it != images.end()) return *it;
    QImage image;
    if (name == QLatin1String("bricks")) image = bricks();
    if (name == QLatin1String("ice")) image = ice();
    if (name == QLatin1String("smallgears")) image = gears(64);
    if (name == QLatin1String("largegears")) image = gears(128);
    images.insert(name, image);
    return image;
}

void BackgroundView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    switch (style) {
        case Color: drawColor(painter); break;
        case Pattern: drawPattern(painter); break;
        case Gradient: drawGradient(painter); break;
        case Image: drawImage(painter); break;
        default: break;
    }
}

void BackgroundView::drawColor(QPainter& painter) { painter.fillRect(rect(), lookOf(palette).color); }

void BackgroundView::drawPattern(QPainter& painter) {
    painter.save();
    // Tiles start at the top-left corner, so they line up with the top edge.
    painter.setBrushOrigin(0, 0);
    painter.fillRect(rect(), QBrush(namedImage(QString::fromLatin1(lookOf(palette).pattern))));
    painter.restore();
}

void BackgroundView::drawGradient(QPainter& painter) {
    const Look& look = lookOf(palette);
    fillRect(painter, CTGradient::gradientWithBeginningColor(look.from, look.to), QRectF(rect()), 270);
}

void BackgroundView::drawImage(QPainter& painter) {
    const QImage image = namedImage(QString::fromLatin1(lookOf(palette).image));
    painter.drawImage(QPoint(width() / 2 - image.width() / 2, height() / 2 - image.height() / 2), image);
}

}  // namespace vorn::gui
