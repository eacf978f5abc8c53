#include "gui/CTGradient.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorn::gui {

namespace {

constexpr int kSamples = 256;
constexpr double kPi = 3.14159265358979323846;

GradientElement element(float red, float green, float blue, float position) {
    return GradientElement{red, green, blue, 1.0f, position};
}

CTGradient fromStops(std::initializer_list<GradientElement> stops, int mode = CTGradient::Linear) {
    CTGradient gradient;
    for (const GradientElement& stop : stops) gradient.addElement(stop);
    gradient.setBlendingMode(mode);
    return gradient;
}

CTGradient grey(float g0, float g1) { return fromStops({element(g0, g0, g0, 0), element(g1, g1, g1, 1)}); }

CTGradient aqua(float g0, float g1, float g2, float g3) {
    return fromStops({element(g0, g0, g0, 0), element(g1, g1, g1, 0.5f), element(g2, g2, g2, 0.5f),
                      element(g3, g3, g3, 1)});
}

std::string rangeText(const char* format, double value) {
    char text[160];
    snprintf(text, sizeof text, format, value);
    return text;
}

float unitOrZero(float v) { return v >= 0 ? std::min(v, 1.0f) : 0.0f; }

QColor toQColor(const Rgba& c) {
    return QColor::fromRgbF(unitOrZero(c.red), unitOrZero(c.green), unitOrZero(c.blue), unitOrZero(c.alpha));
}

// The evaluator at evenly spaced places and on both sides of every stop,
// so that a hard edge stays hard.
QGradientStops sampledStops(const CTGradient& gradient) {
    std::vector<double> places;
    for (int i = 0; i <= kSamples; ++i) places.push_back(double(i) / kSamples);
    for (int i = 0; i < gradient.elementCount(); ++i) {
        const float p = gradient.elementAtIndex(i)->position;
        places.push_back(p);
        places.push_back(std::nextafter(p, 2.0f));
    }
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    QGradientStops stops;
    for (double place : places)
        if (place >= 0 && place <= 1) stops.append({place, toQColor(gradient.colorAtPosition(float(place)))});
    return stops;
}

void fillClipped(QPainter& painter, const QRectF& rect, const QGradient& shading) {
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.fillRect(rect, QBrush(shading));
    painter.restore();
}

}  // namespace

// ---- presets

CTGradient CTGradient::gradientWithBeginningColor(Rgba begin, Rgba end) {
    CTGradient gradient;
    gradient.addElement(GradientElement{begin.red, begin.green, begin.blue, begin.alpha, 0});
    gradient.addElement(GradientElement{end.red, end.green, end.blue, end.alpha, 1});
    return gradient;
}

CTGradient CTGradient::aquaSelectedGradient() {
    return fromStops({element(0.58f, 0.86f, 0.98f, 0), element(0.42f, 0.68f, 0.90f, 0.5f),
                      element(0.64f, 0.80f, 0.94f, 0.5f), element(0.56f, 0.70f, 0.90f, 1)});
}
CTGradient CTGradient::aquaNormalGradient() { return aqua(0.95f, 0.83f, 0.95f, 0.92f); }
CTGradient CTGradient::aquaPressedGradient() { return aqua(0.80f, 0.64f, 0.80f, 0.77f); }
CTGradient CTGradient::unifiedSelectedGradient() { return grey(0.85f, 0.95f); }
CTGradient CTGradient::unifiedNormalGradient() { return grey(0.75f, 0.90f); }
CTGradient CTGradient::unifiedPressedGradient() { return grey(0.60f, 0.75f); }
CTGradient CTGradient::unifiedDarkGradient() { return grey(0.68f, 0.83f); }
CTGradient CTGradient::sourceListSelectedGradient() {
    return fromStops({element(0.06f, 0.37f, 0.85f, 0), element(0.30f, 0.60f, 0.92f, 1)});
}
CTGradient CTGradient::sourceListUnselectedGradient() { return grey(0.43f, 0.60f); }
CTGradient CTGradient::rainbowGradient() {
    return fromStops({element(1, 0, 0, 0), element(0.54f, 0, 1, 1)}, Chromatic);
}

CTGradient CTGradient::hydrogenSpectrumGradient() {
    struct Line {
        float hue, position, width;
    };
    static const Line lines[] = {{22, 0.145f, 0.01f}, {200, 0.71f, 0.008f}, {253, 0.885f, 0.005f}, {275, 0.965f, 0.003f}};
    CTGradient gradient;
    for (const Line& line : lines) {
        const float hues[3] = {line.hue - 180 * line.width, line.hue, line.hue + 180 * line.width};
        const float values[3] = {0.001f, 1, 0.001f};
        const float positions[3] = {line.position - line.width, line.position, line.position + line.width};
        for (int i = 0; i < 3; ++i) {
            float c[3] = {hues[i], 1, values[i]};
            convertHSVToRGB(c);
            gradient.addElement(GradientElement{c[0], c[1], c[2], 1, positions[i]});
        }
    }
    gradient.setBlendingMode(Chromatic);
    return gradient;
}

// ---- copies

CTGradient CTGradient::gradientWithAlphaComponent(float alpha) const {
    CTGradient copy;
    for (GradientElement stop : elements) {
        stop.alpha = alpha;
        copy.addElement(stop);
    }
    return copy;
}

CTGradient CTGradient::gradientWithBlendingMode(int newMode) const {
    CTGradient copy = *this;
    copy.setBlendingMode(newMode);
    return copy;
}

CTGradient CTGradient::addColorStop(Rgba color, float position) const {
    CTGradient copy = *this;
    copy.addElement(GradientElement{color.red, color.green, color.blue, color.alpha, position});
    return copy;
}

CTGradient CTGradient::removeColorStopAtPosition(float position) const {
    CTGradient copy = *this;
    if (std::isnan(copy.removeElementAtPosition(position).position))
        throw std::out_of_range(
            rangeText("-[CTGradient removeColorStopAtPosition:]: no such colorStop at position (%f)", position));
    return copy;
}

CTGradient CTGradient::removeColorStopAtIndex(int index) const {
    CTGradient copy = *this;
    if (std::isnan(copy.removeElementAtIndex(index).position))
        throw std::out_of_range(rangeText("-[CTGradient removeColorStopAtIndex:]: index (%.0f) beyond bounds", index));
    return copy;
}

Rgba CTGradient::colorStopAtIndex(int index) const {
    const GradientElement* stop = elementAtIndex(index);
    if (!stop) throw std::out_of_range(rangeText("-[CTGradient removeColorStopAtIndex:]: index (%.0f) beyond bounds", index));
    return Rgba{stop->red, stop->green, stop->blue, stop->alpha};
}

// ---- elements

void CTGradient::addElement(const GradientElement& stop) {
    auto place = std::upper_bound(elements.begin(), elements.end(), stop.position,
                                  [](float p, const GradientElement& e) { return p < e.position; });
    elements.insert(place, stop);
}

GradientElement CTGradient::removeElementAtIndex(int index) {
    if (index < 0 || index >= elementCount())
        return GradientElement{0, 0, 0, 0, std::numeric_limits<float>::quiet_NaN()};
    const GradientElement removed = elements[size_t(index)];
    elements.erase(elements.begin() + index);
    return removed;
}

GradientElement CTGradient::removeElementAtPosition(float position) {
    for (int i = 0; i < elementCount(); ++i)
        if (elements[size_t(i)].position == position) return removeElementAtIndex(i);
    return GradientElement{0, 0, 0, 0, std::numeric_limits<float>::quiet_NaN()};
}

const GradientElement* CTGradient::elementAtIndex(int index) const {
    return index >= 0 && index < elementCount() ? &elements[size_t(index)] : nullptr;
}

// ---- evaluation

Rgba CTGradient::colorAtPosition(float position) const {
    if (mode == Chromatic || mode == InverseChromatic) return evaluateChromatic(position, mode == InverseChromatic);
    return evaluateLinear(position);
}

namespace {

// The stop at or before x ("current") and the one after it ("next").
void lookup(const std::vector<GradientElement>& stops, float x, size_t* current, size_t* next) {
    size_t c = 0;
    while (c + 1 < stops.size() && x > stops[c + 1].position) ++c;
    *current = c;
    *next = c + 1 < stops.size() ? c + 1 : c;
}

}  // namespace

Rgba CTGradient::evaluateLinear(float x) const {
    if (elements.empty()) return Rgba{1, 1, 1, 1};
    size_t ci, ni;
    lookup(elements, x, &ci, &ni);
    const GradientElement& c = elements[ci];
    const GradientElement& n = elements[ni];
    if (c.position >= x) return Rgba{c.red, c.green, c.blue, c.alpha};
    if (x >= n.position) return Rgba{n.red, n.green, n.blue, n.alpha};
    const float t = (x - c.position) / (n.position - c.position);
    return Rgba{c.red + (n.red - c.red) * t, c.green + (n.green - c.green) * t, c.blue + (n.blue - c.blue) * t,
                c.alpha + (n.alpha - c.alpha) * t};
}

Rgba CTGradient::evaluateChromatic(float x, bool inverse) const {
    if (elements.empty()) return Rgba{1, 1, 1, 1};
    size_t ci, ni;
    lookup(elements, x, &ci, &ni);
    const GradientElement& c = elements[ci];
    const GradientElement& n = elements[ni];
    float a[3] = {c.red, c.green, c.blue};
    float b[3] = {n.red, n.green, n.blue};
    convertRGBToHSV(a);
    convertRGBToHSV(b);
    resolveUndefinedHues(a, b);
    if (!inverse && a[0] > b[0]) b[0] += 360;
    if (inverse && b[0] > a[0]) a[0] += 360;
    float out[3];
    float alpha;
    if (c.position >= x) {
        std::copy(a, a + 3, out);
        alpha = c.alpha;
    } else if (x >= n.position) {
        std::copy(b, b + 3, out);
        alpha = n.alpha;
    } else {
        const float t = (x - c.position) / (n.position - c.position);
        for (int i = 0; i < 3; ++i) out[i] = a[i] + (b[i] - a[i]) * t;
        alpha = c.alpha + (n.alpha - c.alpha) * t;
    }
    convertHSVToRGB(out);
    return Rgba{out[0], out[1], out[2], alpha};
}

void CTGradient::convertRGBToHSV(float c[3]) {
    const float r = c[0], g = c[1], b = c[2];
    const float max = std::max({r, g, b});
    const float min = std::min({r, g, b});
    float hue;
    if (max == min) {
        hue = std::numeric_limits<float>::quiet_NaN();
    } else {
        const float d = max - min;
        if (max == r) {
            hue = 60 * (g - b) / d + (g < b ? 360 : 0);
        } else if (max == g) {
            hue = 60 * (b - r) / d + 120;
        } else {
            hue = 60 * (r - g) / d + 240;
        }
    }
    c[0] = hue;
    c[1] = max == 0 ? 0 : 1 - min / max;
    c[2] = max;
}

void CTGradient::convertHSVToRGB(float c[3]) {
    const float h = std::fmod(c[0], 359.0f) / 60;
    const float s = c[1], v = c[2];
    int i = int(std::floor(h)) % 6;
    if (i < 0) i += 6;
    const float f = h - std::floor(h);
    const float p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    const float table[6][3] = {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}};
    std::copy(table[i], table[i] + 3, c);
}

void CTGradient::resolveUndefinedHues(float a[3], float b[3]) {
    if (std::isnan(a[0]) && std::isnan(b[0])) {
        a[0] = b[0] = 0;
    } else if (std::isnan(a[0])) {
        a[0] = b[0];
    } else if (std::isnan(b[0])) {
        b[0] = a[0];
    }
}

// ---- painting

void fillRect(QPainter& painter, const CTGradient& gradient, const QRectF& rect, float angle) {
    const double w = rect.width(), h = rect.height();
    const double radians = angle * kPi / 180;
    const double dx = std::cos(radians), dy = std::sin(radians);
    const double length = w * std::fabs(dx) + h * std::fabs(dy);
    // The axis in the rect's own coordinates with y up, then turned into the
    // painter's, whose y grows downwards.
    const QPointF centre(w / 2, h / 2);
    const QPointF from = centre - QPointF(dx, dy) * (length / 2);
    const QPointF to = centre + QPointF(dx, dy) * (length / 2);
    auto toPainter = [&](const QPointF& p) { return QPointF(rect.left() + p.x(), rect.top() + h - p.y()); };
    QLinearGradient shading(toPainter(from), toPainter(to));
    shading.setStops(sampledStops(gradient));
    fillClipped(painter, rect, shading);
}

void radialFillRect(QPainter& painter, const CTGradient& gradient, const QRectF& rect) {
    const QPointF centre = rect.center();
    QRadialGradient shading(centre, std::max(rect.width(), rect.height()) / 2, centre, 1.0);
    shading.setStops(sampledStops(gradient));
    fillClipped(painter, rect, shading);
}

void drawSwatchInRect(QPainter& painter, const CTGradient& gradient, const QRectF& rect) {
    fillRect(painter, gradient, rect, 45);
}

// ---- archive

namespace {
constexpr int kStopBytes = 5 * 4;
constexpr int kTailBytes = 2 * 4;
}  // namespace

QByteArray archive(const CTGradient& gradient) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setFloatingPointPrecision(QDataStream::SinglePrecision);
    for (int i = 0; i < gradient.elementCount(); ++i) {
        const GradientElement& e = *gradient.elementAtIndex(i);
        out << e.red << e.green << e.blue << e.alpha << e.position;
    }
    out << qint32(gradient.elementCount()) << qint32(gradient.blendingMode());
    return bytes;
}

bool unarchive(const QByteArray& bytes, CTGradient* gradient) {
    if (bytes.size() < kTailBytes) return false;
    QDataStream tail(bytes.mid(bytes.size() - kTailBytes));
    qint32 count = 0, mode = 0;
    tail >> count >> mode;
    // The count must describe exactly the bytes before it.
    if (count < 0 || qint64(count) * kStopBytes != bytes.size() - kTailBytes) return false;
    QDataStream in(bytes);
    in.setFloatingPointPrecision(QDataStream::SinglePrecision);
    CTGradient result;
    for (qint32 i = 0; i < count; ++i) {
        GradientElement e;
        in >> e.red >> e.green >> e.blue >> e.alpha >> e.position;
        result.addElement(e);
    }
    if (in.status() != QDataStream::Ok) return false;
    result.setBlendingMode(mode);
    *gradient = result;
    return true;
}

QDataStream& operator<<(QDataStream& stream, const CTGradient& gradient) { return stream << archive(gradient); }

QDataStream& operator>>(QDataStream& stream, CTGradient& gradient) {
    QByteArray bytes;
    stream >> bytes;
    if (!unarchive(bytes, &gradient)) stream.setStatus(QDataStream::ReadCorruptData);
    return stream;
}

}  // namespace vorn::gui
