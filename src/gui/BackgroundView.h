// A widget that paints its area in one of four styles: 1 a plain colour,
// 2 a tiled pattern lined up with the top edge, 3 a vertical gradient (the
// first colour at the top), 4 one picture centred; any other style paints
// nothing of its own. Three palettes give the colours, patterns and
// pictures: Background (magenta, bricks, white to grey, small gears), View
// (magenta, bricks, 0.8 to 0.9 grey, small gears) and Window (orange, ice,
// white to pale blue, large gears). Patterns and gears are drawn in code.
//
// Setting the style repaints, except in the Background palette, which
// leaves that to its owner.
#pragma once

#include <QImage>
#include <QWidget>

namespace vorn::gui {

class BackgroundView : public QWidget {
    Q_OBJECT
public:
    enum Palette { Background, View, Window };
    enum Style { None = 0, Color = 1, Pattern = 2, Gradient = 3, Image = 4 };

    explicit BackgroundView(Palette palette = Background, QWidget* parent = nullptr);

    int backgroundStyle() const { return style; }
    void setBackgroundStyle(int newStyle);
    Palette backgroundPalette() const { return palette; }

    // The named pictures: "bricks" and "ice" (tiles), "smallgears" and
    // "largegears".
    static QImage namedImage(const QString& name);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawColor(QPainter& painter);
    void drawPattern(QPainter& painter);
    void drawGradient(QPainter& painter);
    void drawImage(QPainter& painter);

    Palette palette;
    int style = None;
};

}  // namespace vorn::gui
