// The SVG drawings of ui/resources as the window shows them: each one the
// program names is compiled in and draws, at the device pixels of a 2x
// screen rather than scaled up, and sizes follow the font.
#include "ui/windows/Pictures.h"
#include "ui/windows/FormParts.h"

#include <QFile>
#include <QIcon>
#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

const char *const Names[] = {
    "addchain",    "addproxy",     "anonymize", "appicon",   "banner",   "chain",
    "deletechain", "deleteproxy",  "editchain", "editproxy", "help",     "logo",
    "proxymgr",    "restartchain", "settings",  "splash",    "startall", "startchain",
    "stopall",     "stopchain",    "testchain", "testproxy",
};

// The area covered, in whole pixels (partly covered edge pixels count in part).
double Painted(const QImage &image) {
    double n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += qAlpha(image.pixel(x, y)) / 255.0;
    return n;
}

} // namespace

TEST(Pictures, EveryDrawingIsCompiledInAndDrawsAtTheDevicesResolution) {
    for (const char *name : Names) {
        SCOPED_TRACE(name);
        const QString n = QLatin1String(name);
        ASSERT_TRUE(QFile::exists(QStringLiteral(":/velmora/%1.svg").arg(n)));
        const QIcon icon = TPictures::Icon(n);
        ASSERT_FALSE(icon.isNull());
        const QPixmap one = icon.pixmap(QSize(32, 32), 1.0);
        const QPixmap two = icon.pixmap(QSize(32, 32), 2.0);
        // Drawn for 64 device pixels, not 32 scaled up; the same area covered.
        EXPECT_EQ(two.deviceIndependentSize().toSize().width(), one.width());
        EXPECT_EQ(two.width(), 2 * one.width());
        const double painted1 = Painted(one.toImage());
        EXPECT_GT(painted1, one.width() * one.height() / 10);
        EXPECT_NEAR(Painted(two.toImage()) / painted1, 4.0, 0.4);
        // The label pixmaps: their size in device pixels at the ratio asked.
        const QPixmap label = TPictures::Pixmap(n, QSize(150, 75), 2.0);
        EXPECT_EQ(label.size(), QSize(300, 150));
        EXPECT_DOUBLE_EQ(label.devicePixelRatio(), 2.0);
    }
    EXPECT_TRUE(TPictures::Icon(QStringLiteral("no-such-drawing")).isNull());
}

TEST(Pictures, DisabledIconsAreDrawnGreyed) {
    const QIcon icon = TPictures::Icon(QStringLiteral("startall"));
    const QImage normal = icon.pixmap(QSize(32, 32), 1.0).toImage();
    const QImage disabled = icon.pixmap(QSize(32, 32), 1.0, QIcon::Disabled).toImage();
    ASSERT_EQ(normal.size(), disabled.size());
    const QColor green = normal.pixelColor(4, 16), grey = disabled.pixelColor(4, 16);
    EXPECT_GT(green.hsvSaturation(), 100);
    EXPECT_LT(grey.hsvSaturation(), green.hsvSaturation() / 2);
}

TEST(Pictures, SizesFollowTheFont) {
    QWidget small, large;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    small.setFont(font);
    font.setPixelSize(22);
    large.setFont(font);
    // Text lines are whole pixels, so the sizes double within a few per cent.
    const int iconSmall = TPictures::IconSide(&small), iconLarge = TPictures::IconSide(&large);
    EXPECT_GE(iconSmall, 24);
    EXPECT_NEAR(double(iconLarge) / iconSmall, 2.0, 0.12);
    const QSize dialogSmall = TFormParts::Scaled(&small, QSize(700, 260));
    const QSize dialogLarge = TFormParts::Scaled(&large, QSize(700, 260));
    EXPECT_NEAR(double(dialogLarge.width()) / dialogSmall.width(), 2.0, 0.12);
    EXPECT_NEAR(double(dialogLarge.height()) / dialogSmall.height(), 2.0, 0.12);
    EXPECT_EQ(TFormParts::Scaled(&small, 0), 1);
}
