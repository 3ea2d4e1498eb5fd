// Store benchmark: 100,000 AddProxy calls and one SaveData, then loading and
// saving a Proxies.cds of 100,000 rows. Prints each time; not a test.
#include "store/dmProxyData.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

namespace {

constexpr int kRows = 100000;

double Ms(const QElapsedTimer &t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const QString folder = tmp.path() + QStringLiteral("/VelmoraAnonymizer/");

    try {
        TdmProxyData store(folder);
        store.LoadData(); // first run: provisions the folder, makes the Default chain

        QStringList addresses;
        addresses.reserve(kRows);
        for (int i = 0; i < kRows; ++i)
            addresses
                << QStringLiteral("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255);

        QElapsedTimer t;
        t.start();
        for (int i = 0; i < kRows; ++i)
            store.AddProxy(addresses[i], 1080 + i % 1000, static_cast<TProxyType>(i % 5));
        std::printf("%d AddProxy calls:             %9.1f ms\n", kRows, Ms(t));

        t.restart();
        store.SaveData();
        const qint64 size = QFileInfo(folder + QStringLiteral("Proxies.cds")).size();
        std::printf("SaveData after them:             %9.1f ms (Proxies.cds %lld bytes)\n", Ms(t),
                    static_cast<long long>(size));

        TdmProxyData reloaded(folder);
        t.restart();
        reloaded.LoadData();
        std::printf("LoadData with %d proxies:    %9.1f ms\n", kRows, Ms(t));
        if (reloaded.cdsProxies().RecordCount() != kRows) {
            std::fprintf(stderr, "loaded %d rows\n", reloaded.cdsProxies().RecordCount());
            return 1;
        }

        t.restart();
        reloaded.ProxiesFile().Save(reloaded.DataFolder());
        std::printf("Save of Proxies.cds alone:       %9.1f ms\n", Ms(t));

        t.restart();
        int found = 0;
        for (int uid = 1; uid <= kRows; ++uid)
            found += reloaded.LocateProxyRecord(uid) ? 1 : 0;
        std::printf("%d LocateProxyRecord calls:    %9.1f ms (%d found)\n", kRows, Ms(t), found);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
