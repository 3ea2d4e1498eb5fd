#include "tests/support/FailingDevice.h"

#include <algorithm>

namespace VelmoraTest {

TFailingDevice::TFailingDevice(qint64 room, QIODevice *target, const QString &error)
    : FRoom(room), FTarget(target), FError(error) {
    open(QIODevice::WriteOnly);
}

qint64 TFailingDevice::writeData(const char *data, qint64 size) {
    const qint64 room = FRoom - Written.size();
    if (room <= 0) {
        setErrorString(FError);
        return -1;
    }
    const qint64 n = FTarget ? FTarget->write(data, std::min(room, size)) : std::min(room, size);
    if (n > 0)
        Written.append(data, n);
    return n;
}

} // namespace VelmoraTest
