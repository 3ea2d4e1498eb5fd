#include "store/Win1252.h"

#include <gtest/gtest.h>

namespace {

TEST(Win1252, EveryByteSurvivesTheRoundTrip) {
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString text = TWin1252::ToUnicode(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(TWin1252::FromUnicode(text), all);
}

TEST(Win1252, HighRangeUsesTheCodePageNotLatin1) {
    EXPECT_EQ(TWin1252::ToUnicode(QByteArray("\x80\x96\xAB\xE9", 4)), QString::fromUtf8("€–«é"));
    EXPECT_EQ(TWin1252::FromUnicode(QString::fromUtf8("café-€")),
              QByteArray("\x63\x61\x66\xE9\x2D\x80", 6));
    EXPECT_EQ(
        TWin1252::FromUnicode(QString::fromUtf8("naïve «proxy» – 5 €")),
        QByteArray("\x6E\x61\xEF\x76\x65\x20\xAB\x70\x72\x6F\x78\x79\xBB\x20\x96\x20\x35\x20\x80",
                   19));
}

TEST(Win1252, CharactersOutsideBecomeOneQuestionMarkEach) {
    // U+0080 is a C1 control that 1252 puts elsewhere; Cyrillic, CJK and an
    // emoji (two UTF-16 units) are not in the code page at all.
    EXPECT_EQ(TWin1252::FromUnicode(QString::fromUtf8("a\u0080bЖ中😀c")), QByteArray("a?b???c"));
}

TEST(Win1252, CutIsInBytesOfTheEncodedText) {
    EXPECT_EQ(TWin1252::FromUnicode(QString::fromUtf8("€€€€"), 3), QByteArray("\x80\x80\x80"));
    EXPECT_EQ(TWin1252::FromUnicode(QString(60, QLatin1Char('x')), 50).size(), 50);
    EXPECT_EQ(TWin1252::FromUnicode(QStringLiteral("abc"), 0), QByteArray());
}

} // namespace
