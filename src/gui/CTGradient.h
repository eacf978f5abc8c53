// A colour gradient: an ordered list of colour stops and a blending mode
// (RGB interpolation, or along the hue circle rising or falling), preset
// gradients, copies with one thing changed, an archive and painting.
//
// The class itself is plain C++ (no Qt); the painting functions and the
// archive below it use Qt. Painting samples the evaluator into Qt gradient
// stops, since Qt merges stops at one position and has no hue blending.
//
// Stops stay sorted by position; a new stop goes after stops of the same
// position. Operations named like the copies (addColorStop...) leave the
// receiver unchanged and throw std::out_of_range when there is nothing to
// remove or read.
#pragma once

#include <vector>

class QByteArray;
class QDataStream;
class QPainter;
class QRectF;

namespace vorn::gui {

struct Rgba {
    float red = 0, green = 0, blue = 0, alpha = 1;
};

struct GradientElement {
    float red = 0, green = 0, blue = 0, alpha = 0, position = 0;
};

class CTGradient {
public:
    enum BlendingMode { Linear = 0, Chromatic = 1, InverseChromatic = 2 };

    CTGradient() = default;

    static CTGradient gradientWithBeginningColor(Rgba begin, Rgba end);
    static CTGradient aquaSelectedGradient();
    static CTGradient aquaNormalGradient();
    static CTGradient aquaPressedGradient();
    static CTGradient unifiedSelectedGradient();
    static CTGradient unifiedNormalGradient();
    static CTGradient unifiedPressedGradient();
    static CTGradient unifiedDarkGradient();
    static CTGradient sourceListSelectedGradient();
    static CTGradient sourceListUnselectedGradient();
    static CTGradient rainbowGradient();
    static CTGradient hydrogenSpectrumGradient();

    CTGradient gradientWithAlphaComponent(float alpha) const;
    CTGradient gradientWithBlendingMode(int mode) const;
    CTGradient addColorStop(Rgba color, float position) const;
    CTGradient removeColorStopAtPosition(float position) const;
    CTGradient removeColorStopAtIndex(int index) const;
    Rgba colorStopAtIndex(int index) const;

    int blendingMode() const { return mode; }
    // Modes other than the three are kept and evaluated as linear.
    void setBlendingMode(int newMode) { mode = newMode; }
    Rgba colorAtPosition(float position) const;

    // Element operations: a removal that matches nothing returns a stop of
    // zeros at position NaN.
    void addElement(const GradientElement& element);
    GradientElement removeElementAtIndex(int index);
    GradientElement removeElementAtPosition(float position);
    const GradientElement* elementAtIndex(int index) const;
    int elementCount() const { return int(elements.size()); }

    // In place; hue in degrees, NaN for greys.
    static void convertRGBToHSV(float components[3]);
    static void convertHSVToRGB(float components[3]);
    static void resolveUndefinedHues(float a[3], float b[3]);

private:
    Rgba evaluateLinear(float x) const;
    Rgba evaluateChromatic(float x, bool inverse) const;

    std::vector<GradientElement> elements;
    int mode = Linear;
};

// Fills rect along the angle in degrees: 0 paints the first stop at the
// left, 90 at the bottom, 270 at the top.
void fillRect(QPainter& painter, const CTGradient& gradient, const QRectF& rect, float angle);
// From the centre (first stop) out to half the larger side (last stop).
void radialFillRect(QPainter& painter, const CTGradient& gradient, const QRectF& rect);
// fillRect at 45 degrees.
void drawSwatchInRect(QPainter& painter, const CTGradient& gradient, const QRectF& rect);

// The archive: per stop red, green, blue, alpha, position (32-bit floats),
// then the stop count, then the mode. Unarchiving a damaged archive fails
// and leaves the gradient as it was.
QByteArray archive(const CTGradient& gradient);
bool unarchive(const QByteArray& bytes, CTGradient* gradient);
QDataStream& operator<<(QDataStream& stream, const CTGradient& gradient);
QDataStream& operator>>(QDataStream& stream, CTGradient& gradient);

}  // namespace vorn::gui
