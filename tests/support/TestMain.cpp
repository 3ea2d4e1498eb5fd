// Test entry: a QCoreApplication exists for the whole run so that code which
// queues calls to the main thread or reads QStandardPaths behaves as in the
// program.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
