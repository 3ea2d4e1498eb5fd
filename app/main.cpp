// Velmora Anonymizer entry point.
#include "platform/DataFolder.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velmora Anonymizer"));
    std::printf("Velmora Anonymizer: data folder %s\n", qPrintable(TDataFolder::GetDataFolder()));
    return 0;
}
