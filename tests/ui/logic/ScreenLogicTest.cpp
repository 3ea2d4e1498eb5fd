// The plain screen rules: row colours, enabled rules, texts, the settings
// fields' rules and the theme file.
#include "tests/ui/logic/LogicTestSupport.h"
#include "ui/logic/MainScreenLogic.h"
#include "ui/logic/ProxyRowColours.h"
#include "ui/logic/SettingsLogic.h"
#include "ui/logic/TextContrast.h"
#include "ui/logic/ThemeFile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(ProxyRowColours, StatusCellDecidesWholeAndCaseSensitive) {
    using K = TProxyListKind;
    EXPECT_EQ(TProxyRowColours::RowColour("OK", K::plkMain), QColor(250, 208, 41));
    EXPECT_EQ(TProxyRowColours::RowColour("TIME OUT", K::plkMain), QColor(177, 99, 99));
    EXPECT_EQ(TProxyRowColours::RowColour("OK", K::plkPicker), QColor(168, 255, 168));
    EXPECT_EQ(TProxyRowColours::RowColour("TIME OUT", K::plkPicker), QColor(255, 170, 170));
    for (const char *other : {"Testing", "Not Checked", "ok", "OK ", " OK", "Time Out", ""}) {
        EXPECT_FALSE(TProxyRowColours::RowColour(other, K::plkMain).isValid()) << other;
        EXPECT_FALSE(TProxyRowColours::RowColour(other, K::plkPicker).isValid()) << other;
    }
}

TEST(MainScreenLogic, EnabledRulesAndTexts) {
    EXPECT_FALSE(TMainScreenLogic::CheckEnabled({3, 0}));
    EXPECT_TRUE(TMainScreenLogic::CheckEnabled({3, 1}));
    EXPECT_FALSE(TMainScreenLogic::TestAllEnabled({0, 0}));
    EXPECT_TRUE(TMainScreenLogic::TestAllEnabled({1, 0}));
    EXPECT_EQ(TMainScreenLogic::Caption(true),
              QStringLiteral("Velmora Anonymizer by Corvanet v.1.0"));
    EXPECT_EQ(TMainScreenLogic::Caption(false), QStringLiteral("Velmora Anonymizer by Corvanet"));
    EXPECT_TRUE(TMainScreenLogic::HasCommands(TMainPage::mpProxyManager));
    EXPECT_TRUE(TMainScreenLogic::HasCommands(TMainPage::mpProxySocksChain));
    EXPECT_FALSE(TMainScreenLogic::HasCommands(TMainPage::mpSettings));
    EXPECT_FALSE(TMainScreenLogic::HasCommands(TMainPage::mpAnonymizeProgram));
}

TEST(MainScreenLogic, OneCheckAtATimeAndItsTexts) {
    const TProxyListState idle{3, 1, false}, checking{3, 1, true};
    EXPECT_TRUE(TMainScreenLogic::CheckEnabled(idle));
    EXPECT_FALSE(TMainScreenLogic::CheckEnabled(checking));
    EXPECT_FALSE(TMainScreenLogic::TestAllEnabled(checking));
    EXPECT_TRUE(TMainScreenLogic::TestProxyEnabled(idle));
    EXPECT_FALSE(TMainScreenLogic::TestProxyEnabled(checking));
    EXPECT_FALSE(TMainScreenLogic::StopCheckingEnabled(idle));
    EXPECT_TRUE(TMainScreenLogic::StopCheckingEnabled(checking));
    EXPECT_TRUE(TMainScreenLogic::DeleteDeadEnabled(checking));
    EXPECT_FALSE(TMainScreenLogic::DeleteDeadEnabled({0, 0, false}));
    EXPECT_EQ(TMainScreenLogic::CheckProgressText(120, 9000, 37),
              QStringLiteral("Checked 120 of 9000 (37 OK)"));
    EXPECT_EQ(TMainScreenLogic::DeleteDeadQuestion(9000),
              QStringLiteral(
                  "Delete 9000 dead proxies (status TIME OUT) and take them out of every chain?"));
    EXPECT_EQ(
        TMainScreenLogic::DeleteDeadQuestion(1),
        QStringLiteral("Delete 1 dead proxy (status TIME OUT) and take it out of every chain?"));
}

TEST(SettingsLogic, ChangedTextStoresWholeNumbersOnly) {
    EXPECT_FALSE(TSettingsLogic::ValueToStore(QString()).has_value());
    EXPECT_EQ(TSettingsLogic::ValueToStore("500"), 500); // clamped only when the field is left
    EXPECT_EQ(TSettingsLogic::ValueToStore("-7"), -7);
    EXPECT_EQ(TSettingsLogic::ValueToStore("+12"), 12);
    for (const char *bad : {"-", "+", "5.", "1.5", "99999999999", "1-2"}) {
        try {
            TSettingsLogic::ValueToStore(bad);
            ADD_FAILURE() << bad;
        } catch (const std::exception &e) {
            EXPECT_EQ(QString::fromUtf8(e.what()),
                      QStringLiteral("'%1' is not a valid integer value").arg(bad));
        }
    }
}

TEST(SettingsLogic, LeavingClampsNumbersAndKeepsOtherText) {
    EXPECT_EQ(TSettingsLogic::ClampOnExit("500"), 200);
    EXPECT_EQ(TSettingsLogic::ClampOnExit("-3"), 0);
    EXPECT_FALSE(TSettingsLogic::ClampOnExit("200").has_value());
    EXPECT_FALSE(TSettingsLogic::ClampOnExit("0").has_value());
    EXPECT_FALSE(TSettingsLogic::ClampOnExit("-").has_value());
    EXPECT_FALSE(TSettingsLogic::ClampOnExit(QString()).has_value());
}

TEST(SettingsLogic, ArrowsStayInRangeAndKeysAreFiltered) {
    EXPECT_EQ(TSettingsLogic::Step("10", +1), 11);
    EXPECT_EQ(TSettingsLogic::Step("200", +1), 200);
    EXPECT_EQ(TSettingsLogic::Step("0", -1), 0);
    EXPECT_EQ(TSettingsLogic::Step("500", -1), 199);
    EXPECT_EQ(TSettingsLogic::Step("-", +1), 1);
    for (char c : std::string("0123456789+-"))
        EXPECT_TRUE(TSettingsLogic::KeyAccepted(QChar(c))) << c;
    for (char c : std::string("aZ /*e"))
        EXPECT_FALSE(TSettingsLogic::KeyAccepted(QChar(c))) << c;
    EXPECT_FALSE(TSettingsLogic::TextAccepted("12a"));
    EXPECT_TRUE(TSettingsLogic::TextAccepted("-12"));
}

TEST(ThemeFile, NamedSectionsWithDirectives) {
    TThemeFile file;
    file.Parse("# comment before any theme\n"
               "QWidget { color: red; }\n"
               "[Plain]\n"
               "QLabel { color: blue; }\n"
               "[My Style]\r\n"
               "@widget-style Fusion\n"
               "@font DejaVu Sans, 8\n"
               "QToolButton[flat=\"true\"] { border: none; }\n"
               "QWidget#pnlHeader { background: white; }\n");
    EXPECT_EQ(file.Names(), QStringList({"Plain", "My Style"}));
    const TTheme &mine = file.Theme("My Style");
    EXPECT_EQ(mine.WidgetStyle, QStringLiteral("Fusion"));
    EXPECT_EQ(mine.FontFamily, QStringLiteral("DejaVu Sans"));
    EXPECT_EQ(mine.FontPointSize, 8);
    EXPECT_TRUE(mine.StyleSheet.contains("QToolButton[flat=\"true\"]"));
    EXPECT_TRUE(mine.StyleSheet.contains("#pnlHeader"));
    EXPECT_FALSE(mine.StyleSheet.contains("QLabel"));
    EXPECT_FALSE(file.Theme("Plain").StyleSheet.contains("color: red"));
    try {
        file.Theme("Other");
        FAIL();
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "Style 'Other' not found");
    }
}

TEST(ThemeFile, MissingFileAndTheShippedTheme) {
    QTemporaryDir dir;
    TThemeFile file;
    try {
        file.LoadFromFile(dir.filePath("Style.vsf"));
        FAIL();
    } catch (const std::exception &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith("Cannot open file \"")) << e.what();
    }
    file.LoadFromFile(VELMORA_SOURCE_DIR "/Style.vsf");
    EXPECT_FALSE(file.Theme("My Style").StyleSheet.trimmed().isEmpty());
}

TEST(TextContrast, RatiosAndTheColoursChosenByThem) {
    // The guidelines' own figures: black on white 21:1, equal colours 1:1,
    // #777777 on white just under 4.5:1.
    EXPECT_NEAR(TTextContrast::Ratio(Qt::black, Qt::white), 21.0, 0.01);
    EXPECT_NEAR(TTextContrast::Ratio(Qt::white, Qt::black), 21.0, 0.01);
    EXPECT_NEAR(TTextContrast::Ratio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
    EXPECT_DOUBLE_EQ(TTextContrast::Ratio(QColor(10, 200, 30), QColor(10, 200, 30)), 1.0);
    // Text reads on the lists' row colours (both views) and on windows light and dark.
    const QColor rows[] = {QColor(250, 208, 41), QColor(177, 99, 99), QColor(168, 255, 168),
                           QColor(255, 170, 170)};
    const QColor windows[] = {QColor(239, 239, 239), Qt::white, QColor(45, 45, 48),
                              QColor(30, 30, 32), Qt::black};
    for (const QColor &b : rows)
        EXPECT_GE(TTextContrast::Ratio(TTextContrast::TextOn(b), b), TTextContrast::Readable)
            << b.name().toStdString();
    // Warnings stand on a window or an uncoloured list, and stay red there.
    for (const QColor &b : windows) {
        EXPECT_GE(TTextContrast::Ratio(TTextContrast::TextOn(b), b), TTextContrast::Readable)
            << b.name().toStdString();
        EXPECT_GE(TTextContrast::Ratio(TTextContrast::WarningOn(b), b), TTextContrast::Readable)
            << b.name().toStdString();
        EXPECT_GT(TTextContrast::WarningOn(b).hsvSaturation(), 100);
    }
}
