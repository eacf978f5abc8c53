#include <gtest/gtest.h>

#include <QBuffer>
#include <QDataStream>
#include <QPainter>
#include <QWidget>
#include <cmath>
#include <stdexcept>

#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>

#include "GuiTestSupport.h"
#include "gui/BackgroundView.h"
#include "gui/CTGradient.h"
#include "gui/ImageScaling.h"
#include "gui/SplashController.h"
#include "gui/TextLines.h"
#include "gui/ToolTipWrapping.h"

namespace vorn::test {
namespace {

using gui::CTGradient;
using gui::Rgba;

void expectColour(const Rgba& got, float r, float g, float b, const std::string& what) {
    EXPECT_NEAR(got.red, r, 1e-4) << what;
    EXPECT_NEAR(got.green, g, 1e-4) << what;
    EXPECT_NEAR(got.blue, b, 1e-4) << what;
}

TEST(Gradient, EvaluatesStopsAndModes) {
    const CTGradient greys = CTGradient::gradientWithBeginningColor({0.8f, 0.8f, 0.8f, 1}, {0.9f, 0.9f, 0.9f, 1});
    const CTGradient aqua = CTGradient::aquaSelectedGradient();
    const CTGradient greyHues = greys.gradientWithBlendingMode(CTGradient::Chromatic);
    const struct {
        const char* what;
        const CTGradient& gradient;
        float position;
        float r, g, b;
    } rows[] = {
        {"grey at a quarter", greys, 0.25f, 0.825f, 0.825f, 0.825f},
        {"before the first stop", greys, -1, 0.8f, 0.8f, 0.8f},
        {"after the last stop", greys, 2, 0.9f, 0.9f, 0.9f},
        {"aqua at the edge", aqua, 0.5f, 0.42f, 0.68f, 0.90f},
        {"aqua just above the edge", aqua, std::nextafter(0.5f, 1.0f), 0.64f, 0.80f, 0.94f},
        {"aqua at the end", aqua, 1, 0.56f, 0.70f, 0.90f},
        {"greys along the hues", greyHues, 0.5f, 0.85f, 0.85f, 0.85f},
    };
    for (const auto& row : rows) expectColour(row.gradient.colorAtPosition(row.position), row.r, row.g, row.b, row.what);

    const Rgba empty = CTGradient().colorAtPosition(0.3f);
    expectColour(empty, 1, 1, 1, "an empty gradient");
    EXPECT_EQ(empty.alpha, 1);

    const Rgba up = CTGradient::rainbowGradient().colorAtPosition(0.5f);
    EXPECT_GT(up.green, up.red);
    EXPECT_GT(up.green, up.blue);
    const Rgba down = CTGradient::rainbowGradient().gradientWithBlendingMode(CTGradient::InverseChromatic).colorAtPosition(0.5f);
    EXPECT_GT(down.red, down.green);
    EXPECT_GT(down.blue, down.green);
}

TEST(Gradient, HsvConversionsAndGreys) {
    const struct {
        float r, g, b, hue, saturation;
    } rows[] = {{1, 0, 0, 0, 1}, {0, 1, 0, 120, 1}, {0, 0, 1, 240, 1}, {1, 0, 0.5f, 330, 1}, {0.5f, 0.25f, 0.25f, 0, 0.5f}};
    for (const auto& row : rows) {
        float c[3] = {row.r, row.g, row.b};
        CTGradient::convertRGBToHSV(c);
        EXPECT_NEAR(c[0], row.hue, 1e-3) << row.r << " " << row.g << " " << row.b;
        EXPECT_NEAR(c[1], row.saturation, 1e-5);
        CTGradient::convertHSVToRGB(c);
        EXPECT_NEAR(c[0], row.r, 0.01);
        EXPECT_NEAR(c[1], row.g, 0.01);
        EXPECT_NEAR(c[2], row.b, 0.01);
    }
    float grey[3] = {0.4f, 0.4f, 0.4f}, red[3] = {1, 0, 0}, other[3] = {0.2f, 0.2f, 0.2f};
    CTGradient::convertRGBToHSV(grey);
    EXPECT_TRUE(std::isnan(grey[0]));
    CTGradient::convertRGBToHSV(red);
    CTGradient::resolveUndefinedHues(grey, red);
    EXPECT_EQ(grey[0], 0);
    float grey2[3] = {0.4f, 0.4f, 0.4f};
    CTGradient::convertRGBToHSV(grey2);
    CTGradient::convertRGBToHSV(other);
    CTGradient::resolveUndefinedHues(grey2, other);
    EXPECT_EQ(grey2[0], 0);
    EXPECT_EQ(other[0], 0);
}

TEST(Gradient, CopiesLeaveTheReceiverAndRangeErrorsThrow) {
    const CTGradient aqua = CTGradient::aquaSelectedGradient();
    ASSERT_EQ(aqua.elementCount(), 4);
    EXPECT_NEAR(aqua.elementAtIndex(1)->red, 0.42f, 1e-6);
    const CTGradient fewer = aqua.removeColorStopAtPosition(0.5f);
    EXPECT_EQ(fewer.elementCount(), 3);
    EXPECT_NEAR(fewer.elementAtIndex(1)->red, 0.64f, 1e-6);
    const CTGradient more = aqua.addColorStop({0, 0, 0, 1}, 0.5f);
    EXPECT_NEAR(more.elementAtIndex(3)->red, 0, 1e-6) << "a new stop goes after those of its position";
    EXPECT_EQ(aqua.gradientWithAlphaComponent(0.5f).colorStopAtIndex(2).alpha, 0.5f);
    EXPECT_EQ(aqua.gradientWithAlphaComponent(0.5f).blendingMode(), CTGradient::Linear);

    EXPECT_THROW(aqua.removeColorStopAtIndex(4), std::out_of_range);
    EXPECT_THROW(aqua.colorStopAtIndex(-1), std::out_of_range);
    EXPECT_THROW(aqua.removeColorStopAtPosition(0.25f), std::out_of_range);
    EXPECT_EQ(aqua.elementCount(), 4) << "the receiver is unchanged";
}

TEST(Gradient, ArchiveKeepsStopsAndModeAndRefusesDamage) {
    const CTGradient spectrum = CTGradient::hydrogenSpectrumGradient();
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << spectrum;
    }
    CTGradient back;
    QDataStream in(bytes);
    in >> back;
    ASSERT_EQ(in.status(), QDataStream::Ok);
    ASSERT_EQ(back.elementCount(), 12);
    EXPECT_EQ(back.blendingMode(), CTGradient::Chromatic);
    for (float x : {0.1f, 0.145f, 0.7f, 0.9f}) {
        const Rgba a = spectrum.colorAtPosition(x), b = back.colorAtPosition(x);
        EXPECT_EQ(a.red, b.red) << x;
        EXPECT_EQ(a.blue, b.blue) << x;
    }
    const QByteArray raw = gui::archive(CTGradient::unifiedDarkGradient());
    ASSERT_EQ(raw.size(), 2 * 20 + 8);
    QDataStream head(raw);
    head.setFloatingPointPrecision(QDataStream::SinglePrecision);
    float firstRed = 0;
    head >> firstRed;
    EXPECT_NEAR(firstRed, 0.68f, 1e-6);

    CTGradient kept = CTGradient::rainbowGradient();
    for (const QByteArray& damaged : {raw.left(raw.size() - 1), raw.mid(20), QByteArray(3, '\0'), QByteArray::fromHex("7fffffff00000000")})
        EXPECT_FALSE(gui::unarchive(damaged, &kept)) << damaged.toHex().toStdString();
    EXPECT_EQ(kept.elementCount(), 2);
}

class Swatch : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        gui::fillRect(painter, CTGradient::aquaSelectedGradient(), QRectF(rect()), 270);
    }
};

TEST(Gradient, At270TheFirstStopIsOnTopWithAHardEdgeInTheMiddle) {
    Swatch swatch;
    swatch.resize(10, 100);
    const QImage image = swatch.grab().toImage();
    auto near = [&](int y, int r, int g, int b) {
        const QColor c = image.pixelColor(5, y);
        EXPECT_NEAR(c.red(), r, 3) << "row " << y;
        EXPECT_NEAR(c.green(), g, 3) << "row " << y;
        EXPECT_NEAR(c.blue(), b, 3) << "row " << y;
    };
    near(0, 148, 219, 250);   // 0.58 0.86 0.98
    near(49, 108, 174, 230);  // just above the edge: 0.42 0.68 0.90
    near(50, 163, 204, 240);  // just below: 0.64 0.80 0.94
    near(99, 143, 179, 230);  // 0.56 0.70 0.90
}

TEST(ImageScaling, ProportionalCentredAndFactor) {
    const struct {
        QSize source, target, expected;
    } scaled[] = {
        {{640, 480}, {160, 160}, {160, 120}},
        {{100, 50}, {160, 160}, {100, 50}},
        {{200, 180}, {100, 50}, {100, 90}},  // only the longer sides count
    };
    for (const auto& row : scaled) {
        QImage image(row.source, QImage::Format_RGB32);
        image.fill(Qt::gray);
        EXPECT_EQ(gui::imageByScalingProportionallyToSize(image, row.target).size(), row.expected) << row.source.width();
    }
    const struct {
        QSizeF size;
        QRectF rect;
        QRect expected;
    } centred[] = {
        {{320, 240}, {0, 0, 160, 160}, {0, 20, 160, 120}},
        {{80, 60}, {0, 0, 160, 160}, {40, 50, 80, 60}},
        {{81, 61}, {10, 10, 160, 160}, {49, 59, 82, 62}},  // floored origin, ceiled far edge
    };
    for (const auto& row : centred)
        EXPECT_EQ(gui::centeredRectForSizeInRect(row.size, row.rect), row.expected) << row.size.width();
    EXPECT_EQ(gui::scaleSizeByFactor(QSizeF(0, 0), 2.0f), QSizeF(0, 0));
    EXPECT_EQ(gui::scaleSizeByFactor(QSizeF(3, 4), 2.0f), QSizeF(6, 8));
}

TEST(Background, EachPaletteAndStyleAsGiven) {
    using gui::BackgroundView;
    const QColor untouched(1, 2, 3);
    const struct {
        BackgroundView::Palette palette;
        int style;
        QColor centre, top, bottom;  // invalid: not checked
    } rows[] = {
        {BackgroundView::Background, 1, Qt::magenta, {}, {}},
        {BackgroundView::Window, 1, QColor(255, 128, 0), {}, {}},
        {BackgroundView::Background, 3, {}, QColor(255, 255, 255), QColor(128, 128, 128)},
        {BackgroundView::View, 3, {}, QColor(204, 204, 204), QColor(230, 230, 230)},
        {BackgroundView::Window, 3, {}, QColor(255, 255, 255), QColor(179, 204, 255)},
        {BackgroundView::View, 0, untouched, {}, {}},
        {BackgroundView::View, 5, untouched, {}, {}},
    };
    for (const auto& row : rows) {
        QWidget parent;
        parent.setAutoFillBackground(true);
        QPalette colours = parent.palette();
        colours.setColor(QPalette::Window, untouched);
        parent.setPalette(colours);
        auto* view = new BackgroundView(row.palette, &parent);
        view->setBackgroundStyle(row.style);
        view->setGeometry(0, 0, 40, 200);
        parent.resize(40, 200);
        const QImage image = parent.grab().toImage();
        const std::string what = std::to_string(row.palette) + "/" + std::to_string(row.style);
        auto near = [&](QPoint at, const QColor& want) {
            const QColor got = image.pixelColor(at);
            EXPECT_NEAR(got.red(), want.red(), 3) << what;
            EXPECT_NEAR(got.green(), want.green(), 3) << what;
            EXPECT_NEAR(got.blue(), want.blue(), 3) << what;
        };
        if (row.centre.isValid()) near({20, 100}, row.centre);
        if (row.top.isValid()) near({20, 0}, row.top);
        if (row.bottom.isValid()) near({20, 199}, row.bottom);
    }
    for (const char* name : {"bricks", "ice", "smallgears", "largegears"})
        EXPECT_FALSE(BackgroundView::namedImage(QString::fromLatin1(name)).isNull()) << name;
    BackgroundView bricks(BackgroundView::View);
    bricks.setBackgroundStyle(BackgroundView::Pattern);
    bricks.resize(64, 48);
    EXPECT_EQ(bricks.grab().toImage().copy(0, 0, 32, 16), BackgroundView::namedImage(QStringLiteral("bricks")));
}

TEST(Splash, FadesOnTimerStepsAndStaysFiveSeconds) {
    const struct {
        const char* what;
        double closeAfter;  // seconds after the fade-in ended
        int waitingSteps;   // steps that wait before the fade-out
    } rows[] = {{"closed after 1 s", 1, 4}, {"closed after 10 s", 10, 0}};
    for (const auto& row : rows) {
        double now = 100;
        std::vector<double> set;
        gui::SplashController splash([&] { return now; }, [&](QWidget*, double a) { set.push_back(a); });
        splash.stepTimer()->setInterval(24 * 3600 * 1000);  // the test steps it
        splash.show();
        while (splash.state() == gui::SplashController::State::FadingIn) splash.tick();
        snapshot(splash.window(), QStringLiteral("splash"));
        ASSERT_EQ(set.size(), 50u) << row.what;  // 0 at the start, then 49 steps
        EXPECT_FLOAT_EQ(set[1], 0.01f);
        EXPECT_NEAR(set.back(), 0.97, 0.01);
        EXPECT_LE(set.back(), 1.0);
        set.clear();
        now += row.closeAfter;
        splash.close();  // takes its first step at once
        int waiting = set.empty() ? 1 : 0;
        while (set.empty()) {
            now += 1;
            splash.tick();
            if (set.empty()) ++waiting;
        }
        EXPECT_EQ(waiting, row.waitingSteps) << row.what;
        while (splash.state() != gui::SplashController::State::Closed) splash.tick();
        ASSERT_EQ(set.size(), 25u) << row.what;
        EXPECT_NEAR(set[1], 0.99, 1e-9);
        EXPECT_EQ(set.front(), 1.0) << "the fade-out starts at full opacity";
        EXPECT_GT(set.back(), 0.05);
        EXPECT_EQ(splash.window(), nullptr);
        splash.close();
        EXPECT_EQ(splash.state(), gui::SplashController::State::Closed) << "a second close does nothing";
    }
}

// Without a compositor a see-through window shows black where it is clear:
// there the splash is opaque to its corners; with one, its corners are clear.
TEST(Splash, OpaqueToItsCornersWithoutACompositor) {
    // Offscreen there is none: what the splash finds itself is used there.
    const bool offscreen = QGuiApplication::platformName() == QLatin1String("offscreen");
    for (const bool compositing : {false, true}) {
        gui::SplashController splash([] { return 0.0; }, [](QWidget*, double) {});
        splash.stepTimer()->setInterval(24 * 3600 * 1000);
        if (!offscreen || compositing) splash.setCompositing(compositing);
        splash.show();
        auto* window = qobject_cast<QLabel*>(splash.window());
        ASSERT_TRUE(window);
        if (!compositing) snapshot(window, QStringLiteral("splash-no-compositor"));
        EXPECT_EQ(window->testAttribute(Qt::WA_TranslucentBackground), compositing);
        const QImage picture = window->pixmap().toImage();
        for (const QPoint corner : {QPoint(0, 0), QPoint(picture.width() - 1, picture.height() - 1)})
            EXPECT_EQ(qAlpha(picture.pixel(corner)), compositing ? 0 : 255) << compositing;
    }
}

TEST(TextLines, SpacingAndToolTipWrapping) {
    QPlainTextEdit edit;
    gui::setLineSpacingTo(&edit, 7);
    EXPECT_TRUE(edit.document()->isEmpty());
    edit.setPlainText(QStringLiteral("alpha\nbeta"));
    gui::setLineSpacingTo(&edit, 7);
    EXPECT_EQ(edit.document()->lastBlock().blockFormat().lineHeight(), 7);

    const QString text = QStringLiteral("one two three four five six seven eight nine ten eleven twelve");
    const QString narrow = gui::stringWrappedForToolTipToPixelWidth(text, 80);
    const QString wide = gui::stringWrappedForToolTipToPixelWidth(text, 5000);
    EXPECT_GT(narrow.count(QLatin1Char('\n')), 2);
    EXPECT_EQ(wide, text);
    EXPECT_EQ(QString(narrow).remove(QLatin1Char('\n')).remove(QLatin1Char(' ')), QString(text).remove(QLatin1Char(' ')));
    for (unsigned count : {1u, 2u, 3u, 5u}) {
        const QString wrapped = gui::stringWrappedForToolTipToLineCount(text, count);
        EXPECT_LE(wrapped.count(QLatin1Char('\n')) + 1, int(count)) << count;
        EXPECT_GE(wrapped.count(QLatin1Char('\n')) + 2, int(count)) << count << ": not much narrower than needed";
    }
    EXPECT_GT(gui::stringWrappedForToolTipToWidthToHeightRatio(text, 0.5f).count(QLatin1Char('\n')),
              gui::stringWrappedForToolTipToWidthToHeightRatio(text, 20).count(QLatin1Char('\n')));
}

}  // namespace
}  // namespace vorn::test
