#include "store/TableFile.h"

#include "platform/Error.h"
#include "store/DataPacketReader.h"
#include "store/DataTable.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <sys/stat.h>

namespace {

QString Native(const QString &path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

TTableFile::TTableFile(TDataTable &table, QString fileName)
    : FTable(table), FFileName(std::move(fileName)) {}

QString TTableFile::PlanAside(const QString &path, const char *suffix) const {
    const QString base = path + QLatin1Char('.') + QLatin1String(suffix) + QLatin1Char('-') +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString candidate = base;
    for (int n = 2; QFileInfo::exists(candidate); ++n)
        candidate = base + QLatin1Char('-') + QString::number(n);
    return candidate;
}

TTableFile::TStamp TTableFile::StampOf(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return {};
    return {static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

TTableFile::TStamp TTableFile::StampOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? StampOf(file.handle()) : TStamp{};
}

void TTableFile::KeepAside(const QString &path, const QString &aside, const QString &notice) {
    if (!QFile::rename(path, aside))
        throw EVelmoraError(QStringLiteral("Cannot keep the table file \"%1\" aside as \"%2\"; "
                                           "it was not replaced.")
                                .arg(Native(path), Native(aside)));
    FAsidePath = aside;
    FState = TFileState::Missing;
    if (FOnNotice)
        FOnNotice(notice.arg(Native(path), Native(aside)));
}

void TTableFile::Load(const QString &folder) {
    const QString path = folder + FFileName;
    QFile file(path);
    QByteArray bytes;
    QString fault;
    TStamp stamp;
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists()) {
            FState = TFileState::Missing;
            throw EVelmoraError(QStringLiteral("Cannot open file \"%1\". %2")
                                    .arg(Native(path), file.errorString()));
        }
        fault = QStringLiteral("Cannot open file \"%1\". %2").arg(Native(path), file.errorString());
    } else {
        // Taken before reading: a change made while reading differs from it.
        stamp = StampOf(file.handle());
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            fault =
                QStringLiteral("Cannot read file \"%1\". %2").arg(Native(path), file.errorString());
    }
    if (fault.isEmpty()) {
        try {
            FTable.LoadFromPacket(TDataPacketReader::Read(bytes));
            FState = TFileState::Loaded;
            FAsidePath.clear();
            FStamp = stamp;
            return;
        } catch (const EVelmoraError &e) {
            fault = QStringLiteral("Cannot read the table file \"%1\": %2.")
                        .arg(Native(path), e.Message());
        }
    }
    FState = TFileState::Unreadable;
    FAsidePath = PlanAside(path, "unreadable");
    throw EVelmoraError(fault + QStringLiteral(" The file is left as it is; before the table is "
                                               "next saved it will be kept as \"%1\".")
                                    .arg(Native(FAsidePath)));
}

void TTableFile::Save(const QString &folder) {
    const QString path = folder + FFileName;
    if (FState != TFileState::Loaded && QFileInfo::exists(path)) {
        const bool unreadable = FState == TFileState::Unreadable;
        KeepAside(path,
                  unreadable && !FAsidePath.isEmpty() && !QFileInfo::exists(FAsidePath)
                      ? FAsidePath
                      : PlanAside(path, unreadable ? "unreadable" : "notloaded"),
                  unreadable ? QStringLiteral("The unreadable table file \"%1\" was kept as "
                                              "\"%2\" before being replaced.")
                             : QStringLiteral("The table file \"%1\", which had not been "
                                              "loaded, was kept as \"%2\" before being "
                                              "replaced."));
    } else if (FState == TFileState::Loaded && QFileInfo::exists(path) && StampOf(path) != FStamp) {
        KeepAside(path, PlanAside(path, "changed"),
                  QStringLiteral("The table file \"%1\" was changed by another program since "
                                 "Velmora read it; that version was kept as \"%2\" before "
                                 "being replaced."));
    }
    WriteFile(
        path, [this](QIODevice &device) { FTable.WriteTo(device); }, FDeviceWrap);
    FState = TFileState::Loaded;
    FStamp = StampOf(path);
}

void TTableFile::WriteFile(const QString &path, const std::function<void(QIODevice &)> &write,
                           const TDeviceWrap &wrap) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw EVelmoraError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(Native(path), file.errorString()));
    try {
        if (wrap) {
            std::unique_ptr<QIODevice> device = wrap(file);
            write(*device);
        } else {
            write(file);
        }
    } catch (const EVelmoraError &e) {
        file.cancelWriting();
        throw EVelmoraError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(Native(path), e.Message()));
    }
    // Bytes still in the device's buffer meet a full disk only here, and
    // commit() would put the cut-off file in place regardless.
    if (!file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw EVelmoraError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(Native(path), reason));
    }
    if (!file.commit())
        throw EVelmoraError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(Native(path), file.errorString()));
}
