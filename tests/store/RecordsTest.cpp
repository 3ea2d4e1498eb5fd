#include "store/ChainedProxyData.h"
#include "store/ProxData.h"
#include "store/ProxyTypes.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

std::unique_ptr<TProxData> Item(int uid) {
    auto p = std::make_unique<TProxData>();
    p->FUID = uid;
    return p;
}

int Uid(const TProxData *p) {
    return p ? p->FUID : -100;
}

TEST(ChainCursor, EmptyRecord) {
    TChainedProxyData c;
    EXPECT_EQ(c.FCurrItem, -1);
    EXPECT_EQ(c.FirstItem(), nullptr);
    EXPECT_EQ(c.LastItem(), nullptr);
    EXPECT_EQ(c.PrevItem(), nullptr);
    EXPECT_EQ(c.FCurrItem, -1);
    EXPECT_EQ(c.NextItem(), nullptr);
    EXPECT_EQ(c.FCurrItem, 0);
    EXPECT_EQ(c.NextItem(), nullptr);
    EXPECT_EQ(c.FCurrItem, 1);
}

TEST(ChainCursor, WalksAndOverrunsOnThreeItems) {
    TChainedProxyData c;
    for (int i = 0; i < 3; ++i)
        c.AddItem(Item(10 + i));
    EXPECT_EQ(c.ItemsCount(), 3);
    // A fresh record starts before the first item.
    EXPECT_EQ(Uid(c.NextItem()), 10);

    EXPECT_EQ(Uid(c.LastItem()), 12);
    EXPECT_EQ(Uid(c.PrevItem()), 11);
    EXPECT_EQ(Uid(c.PrevItem()), 10);
    EXPECT_EQ(c.PrevItem(), nullptr);
    EXPECT_EQ(c.FCurrItem, -1);
    EXPECT_EQ(Uid(c.NextItem()), 10);

    // Past the end the cursor keeps counting in both directions.
    c.LastItem();
    EXPECT_EQ(c.NextItem(), nullptr);
    EXPECT_EQ(c.NextItem(), nullptr);
    EXPECT_EQ(c.FCurrItem, 4);
    EXPECT_EQ(c.PrevItem(), nullptr);
    EXPECT_EQ(c.FCurrItem, 3);
    EXPECT_EQ(Uid(c.PrevItem()), 12);

    // Far before the start NextItem stays safe.
    c.FirstItem();
    c.PrevItem();
    c.PrevItem();
    EXPECT_EQ(c.FCurrItem, -2);
    EXPECT_EQ(c.NextItem(), nullptr);
    EXPECT_EQ(Uid(c.NextItem()), 10);
}

TEST(Texts, TypeAndStatus) {
    const std::pair<int, const char *> types[] = {
        {0, "Unknown"}, {1, "SOCKS 4"}, {2, "SOCKS 4/5"},  {3, "SOCKS 5"},
        {4, "HTTP"},    {5, ""},        {130, "SOCKS 4/5"}};
    for (const auto &[code, text] : types)
        EXPECT_EQ(ProxyTypeText(code), text) << code;
    QString kept = "kept";
    ProxyTypeToText(77, kept);
    EXPECT_EQ(kept, "kept");

    // 258 counts by its low byte.
    const std::pair<int, const char *> statuses[] = {{0, "Not Checked"}, {1, "TIME OUT"},
                                                     {2, "OK"},          {3, "Unknown Status"},
                                                     {258, "OK"},        {-1, "Unknown Status"}};
    for (const auto &[code, text] : statuses)
        EXPECT_EQ(ProxyStatusText(code), text) << code;
}

TEST(Texts, SpeedUsesLocaleSeparator) {
    const QLocale saved;
    QLocale::setDefault(QLocale::c());
    const std::pair<int, const char *> speeds[] = {{1234, "1.23"}, {1500, "1.5"},  {2000, "2"},
                                                   {0, "0"},       {1236, "1.24"}, {250, "0.25"},
                                                   {1001, "1"}};
    for (const auto &[speed, text] : speeds)
        EXPECT_EQ(SpeedToText(speed), text) << speed;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(SpeedToText(1234), "1,23");
    QLocale::setDefault(saved);
}

TEST(Records, NewAndCopy) {
    TProxData fresh;
    EXPECT_EQ(fresh.FCurrHostNameType, hntIPAddress);
    EXPECT_EQ(fresh.FProxyType, TProxyType::ptUnknown);
    EXPECT_EQ(fresh.FStatus, TProxyStatus::psUnknown);
    EXPECT_FALSE(fresh.FHidden);

    TProxData src;
    src.FHostName = "h";
    src.FIPAddress = "10.0.0.1";
    src.FProxyType = TProxyType::ptHTTP;
    src.FUID = 7;
    src.FPort = 8080;
    src.FStatus = TProxyStatus::psAvailable;
    src.FSpeed = 12.5;
    src.FLastChecked = 45000.25;
    src.FCurrHostNameType = hntHostName;
    src.FHidden = true;

    TProxData existing;
    existing.FHidden = false;
    TProxData *target = &existing;
    EXPECT_EQ(CopyProxData(src, target), &existing);
    EXPECT_EQ(existing.FHostName, "h");
    EXPECT_EQ(existing.FIPAddress, "10.0.0.1");
    EXPECT_EQ(existing.FProxyType, TProxyType::ptHTTP);
    EXPECT_EQ(existing.FUID, 7);
    EXPECT_EQ(existing.FPort, 8080);
    EXPECT_EQ(existing.FStatus, TProxyStatus::psAvailable);
    EXPECT_EQ(existing.FSpeed, 12.5);
    EXPECT_EQ(existing.FLastChecked, 45000.25);
    EXPECT_EQ(existing.FCurrHostNameType, hntHostName);
    EXPECT_FALSE(existing.FHidden);

    TProxData *created = nullptr;
    std::unique_ptr<TProxData> owner(CopyProxData(src, created));
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->FUID, 7);
    EXPECT_FALSE(created->FHidden);
}

} // namespace
