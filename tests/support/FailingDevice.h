#pragma once
// A write-only device that takes `room` bytes and then refuses every write,
// as a full disk does: proves that write errors reach the caller. What it
// takes is passed on to a target device (a store's real temporary file) or,
// without one, kept in Written.

#include <QByteArray>
#include <QIODevice>
#include <QString>

namespace VelmoraTest {

class TFailingDevice : public QIODevice {
public:
    explicit TFailingDevice(qint64 room, QIODevice *target = nullptr,
                            const QString &error = QStringLiteral("No space left on device"));

    // Every byte taken, in order.
    QByteArray Written;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    qint64 FRoom;
    QIODevice *FTarget;
    QString FError;
};

} // namespace VelmoraTest
