// The theme under a dark desktop palette: every text the main window shows
// (labels, buttons, the lists' rows and headers) must read on what is really
// painted under it. The window is grabbed whole and each text's area is
// measured in that picture, so that a background a parent paints (a panel of
// the style sheet) counts as much as the widget's own: the most frequent
// colour of the area is taken as its background, and the colour farthest
// from it in contrast (covering a few pixels at least) as its text.
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/TextContrast.h"
#include "ui/logic/ThemeFile.h"
#include "ui/windows/ThemeManager.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QHash>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QRadioButton>
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>
#include <QTreeView>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

QPalette DarkPalette() {
    QPalette p;
    const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
    return p;
}

// The application's look as the test found it, given back at the end.
class TLookGuard {
public:
    TLookGuard()
        : FPalette(QApplication::palette()), FFont(QApplication::font()),
          FSheet(qApp->styleSheet()) {}
    ~TLookGuard() {
        qApp->setStyleSheet(FSheet);
        QApplication::setPalette(FPalette);
        QApplication::setFont(FFont);
    }

private:
    QPalette FPalette;
    QFont FFont;
    QString FSheet;
};

TTheme ShippedTheme() {
    TThemeFile file;
    file.LoadFromFile(QStringLiteral(VELMORA_SOURCE_DIR "/Style.vsf"));
    return file.Theme(QStringLiteral("My Style"));
}

// The dark palette first, then the theme over it, as on a dark desktop.
void ApplyDark(const TTheme &theme) {
    QApplication::setPalette(DarkPalette());
    TThemeManager::Apply(*qApp, theme);
}

struct TReading {
    QString What;
    double Ratio;
};

double AreaContrast(const QImage &shot, const QRect &area) {
    QHash<QRgb, int> counts;
    const QRect inside = area.intersected(shot.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            ++counts[shot.pixel(x, y) | 0xff000000u];
    QRgb background = 0;
    int most = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > most) {
            most = it.value();
            background = it.key();
        }
    double best = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() >= 3)
            best = std::max(best, TTextContrast::Ratio(QColor(it.key()), QColor(background)));
    return best;
}

QString Name(const QWidget *w) {
    return QString::fromLatin1(w->metaObject()->className()) + QLatin1Char('#') + w->objectName();
}

// Where a button's caption is drawn: a tool button's under its icon, a
// check box's and a radio button's right of the indicator.
QRect CaptionArea(const QAbstractButton *b) {
    QRect r = b->rect();
    if (const auto *tool = qobject_cast<const QToolButton *>(b)) {
        if (tool->toolButtonStyle() == Qt::ToolButtonTextUnderIcon && !tool->icon().isNull())
            r.setTop(std::max(r.height() * 11 / 20, tool->iconSize().height() + 6));
    } else if (qobject_cast<const QCheckBox *>(b)) {
        r.setLeft(b->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, b) +
                  b->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, b));
    } else if (qobject_cast<const QRadioButton *>(b)) {
        r.setLeft(b->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, b) +
                  b->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, b));
    }
    return r;
}

// Every text shown on the window's current page, measured in one grab.
std::vector<TReading> Readings(QWidget &window) {
    QApplication::processEvents();
    const QImage shot = window.grab().toImage();
    const qreal dpr = shot.devicePixelRatio();
    auto onShot = [&](const QWidget *w, const QRect &local) {
        const QRect r(w->mapTo(&window, local.topLeft()), local.size());
        return QRect((r.topLeft() * dpr), (r.size() * dpr));
    };
    std::vector<TReading> readings;
    for (QWidget *w : window.findChildren<QWidget *>()) {
        if (!w->isVisible() || !w->isEnabled())
            continue;
        if (const auto *label = qobject_cast<QLabel *>(w)) {
            if (!label->text().trimmed().isEmpty())
                readings.push_back({Name(w), AreaContrast(shot, onShot(w, w->contentsRect()))});
        } else if (const auto *button = qobject_cast<QAbstractButton *>(w)) {
            if (!button->text().trimmed().isEmpty())
                readings.push_back({Name(w), AreaContrast(shot, onShot(w, CaptionArea(button)))});
        } else if (const auto *header = qobject_cast<QHeaderView *>(w)) {
            readings.push_back({Name(w), AreaContrast(shot, onShot(w, header->rect()))});
        } else if (const auto *view = qobject_cast<QTreeView *>(w)) {
            // Row by row: a coloured row is a background of its own.
            QAbstractItemModel *model = view->model();
            for (int row = 0; model && row < model->rowCount(); ++row) {
                const QRect cell = view->visualRect(model->index(row, 0));
                const QRect line(0, cell.y(), view->viewport()->width(), cell.height());
                if (cell.isValid() && view->viewport()->rect().contains(line))
                    readings.push_back({Name(w) + QStringLiteral(" row %1").arg(row),
                                        AreaContrast(shot, onShot(view->viewport(), line))});
            }
        }
    }
    return readings;
}

// The texts on every page of the window that read worse than they should.
QStringList Unreadable(TfrmMain &w, int *measured) {
    QStringList bad;
    *measured = 0;
    for (TMainPage page : {TMainPage::mpProxyManager, TMainPage::mpAnonymizeProgram,
                           TMainPage::mpProxySocksChain, TMainPage::mpSettings}) {
        w.NavigationButton(page)->click();
        for (const TReading &r : Readings(w)) {
            ++*measured;
            if (r.Ratio < TTextContrast::Readable)
                bad << QStringLiteral("%1 %2").arg(r.What).arg(r.Ratio, 0, 'f', 2);
        }
    }
    return bad;
}

} // namespace

TEST(ThemeContrast, EveryTextReadsUnderADarkPaletteWithTheShippedTheme) {
    TLookGuard look;
    ApplyDark(ShippedTheme());
    ASSERT_LT(QApplication::palette().color(QPalette::Window).lightness(), 100);
    TMainFixture f(TMainFixture::TData::Sample);
    TfrmMain &w = f.Open();
    w.show();
    w.ShowStatusText(QStringLiteral("Proxy list loaded"));
    int measured = 0;
    const QStringList bad = Unreadable(w, &measured);
    EXPECT_TRUE(bad.isEmpty()) << bad.join(QStringLiteral("\n")).toStdString();
    // The pages' labels, buttons, headers and coloured rows were all there to measure.
    EXPECT_GT(measured, 40);
}

TEST(ThemeContrast, LightBackgroundsWithoutTheirTextColourAreCaught) {
    // A label background fixed light while its text comes from the dark
    // palette, and the status bar fixed light around labels left to the
    // palette: each must fail, or the check above proves nothing.
    struct {
        QString Find, Replace;
    } const faults[] = {
        {QStringLiteral("QStatusBar {"),
         QStringLiteral("QLabel { background: white; }\nQStatusBar {")},
        {QStringLiteral("QStatusBar QLabel { color: #212529;"),
         QStringLiteral("QStatusBar QLabel {")},
    };
    for (const auto &fault : faults) {
        TLookGuard look;
        TTheme theme = ShippedTheme();
        ASSERT_TRUE(theme.StyleSheet.contains(fault.Find)) << fault.Find.toStdString();
        theme.StyleSheet.replace(fault.Find, fault.Replace);
        ApplyDark(theme);
        TMainFixture f(TMainFixture::TData::Sample);
        TfrmMain &w = f.Open();
        w.show();
        w.ShowStatusText(QStringLiteral("Proxy list loaded"));
        int measured = 0;
        EXPECT_FALSE(Unreadable(w, &measured).isEmpty()) << fault.Replace.toStdString();
    }
}
