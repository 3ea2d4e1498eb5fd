#include "ui/logic/ProxyTableModel.h"

#include "store/ProxyTypes.h"
#include "store/Win1252.h"
#include "store/dmProxyData.h"
#include "ui/logic/TextContrast.h"

#include <QBrush>
#include <algorithm>
#include <utility>

namespace {

const QString ZeroSpeed = QStringLiteral("0.00");

int64_t IntOf(const TFieldValue &v) {
    if (const auto *i = std::get_if<int64_t>(&v))
        return *i;
    if (const auto *d = std::get_if<double>(&v))
        return static_cast<int64_t>(*d);
    return 0;
}

double RealOf(const TFieldValue &v) {
    if (const auto *d = std::get_if<double>(&v))
        return *d;
    if (const auto *i = std::get_if<int64_t>(&v))
        return static_cast<double>(*i);
    return 0;
}

const QByteArray &BytesOf(const TFieldValue &v) {
    static const QByteArray none;
    const auto *b = std::get_if<QByteArray>(&v);
    return b ? *b : none;
}

// The texts of the status and type codes, made once.
const QString &StatusCodeText(int64_t code) {
    static const QString texts[] = {ProxyStatusText(0), ProxyStatusText(1), ProxyStatusText(2),
                                    ProxyStatusText(3)};
    const auto low = static_cast<uint8_t>(code & 0xFF);
    return texts[std::min<int>(low, 3)];
}

const QString &TypeCodeText(int64_t code) {
    static const QString texts[] = {ProxyTypeText(0), ProxyTypeText(1), ProxyTypeText(2),
                                    ProxyTypeText(3), ProxyTypeText(4), ProxyTypeText(5)};
    const int kind = static_cast<int>(code & 0x7F);
    return texts[std::min(kind, 5)];
}

} // namespace

TProxyTableModel::TProxyTableModel(TProxyListKind kind, QObject *parent)
    : QAbstractTableModel(parent), FKind(kind) {}

TProxyTableModel::~TProxyTableModel() {
    if (FStore)
        FStore->UnwatchProxies(FWatcher);
}

void TProxyTableModel::Attach(TdmProxyData &store) {
    if (FStore == &store) {
        Reload();
        return;
    }
    if (FStore)
        FStore->UnwatchProxies(FWatcher);
    FStore = &store;
    FTable = &std::as_const(store).cdsProxies();
    FIPAddress = FTable->FieldIndex(QStringLiteral("IPAddress"));
    FUID = FTable->FieldIndex(QStringLiteral("UID"));
    FStatus = FTable->FieldIndex(QStringLiteral("Status"));
    FHostType = FTable->FieldIndex(QStringLiteral("HostType"));
    FPort = FTable->FieldIndex(QStringLiteral("Port"));
    FSpeed = FTable->FieldIndex(QStringLiteral("Speed"));
    FWatcher = store.WatchProxies([this](TDataTable::TChange change, const TDataTable::TRow *row) {
        StoreChanged(change, row);
    });
    Reload();
}

void TProxyTableModel::Detach() {
    if (!FStore)
        return;
    FStore->UnwatchProxies(FWatcher);
    beginResetModel();
    FStore = nullptr;
    FTable = nullptr;
    FRows.clear();
    FPending.clear();
    endResetModel();
}

void TProxyTableModel::Reload() {
    if (FBulk > 0)
        return; // the bulk change's end reads them
    beginResetModel();
    ReadRows();
    endResetModel();
}

void TProxyTableModel::ReadRows() {
    FRows = FTable ? FTable->AllRows() : std::vector<const TDataTable::TRow *>();
}

int32_t TProxyTableModel::UIDOf(const TDataTable::TRow &row) const {
    return static_cast<int32_t>(IntOf(row.Values[FUID]));
}

int TProxyTableModel::PositionOf(int64_t uid) const {
    const auto it = std::lower_bound(
        FRows.begin(), FRows.end(), uid,
        [this](const TDataTable::TRow *r, int64_t key) { return IntOf(r->Values[FUID]) < key; });
    return static_cast<int>(it - FRows.begin());
}

int TProxyTableModel::RowOf(int32_t uid) const {
    const int pos = PositionOf(uid);
    return pos < static_cast<int>(FRows.size()) && UIDOf(*FRows[pos]) == uid ? pos : -1;
}

int32_t TProxyTableModel::UIDAt(int row) const {
    return UIDOf(*FRows.at(static_cast<size_t>(row)));
}

// ---- following the store ----------------------------------------------------

void TProxyTableModel::StoreChanged(TDataTable::TChange change, const TDataTable::TRow *row) {
    if (FBulk > 0)
        return;
    switch (change) {
    case TDataTable::TChange::Reset:
        Reload();
        return;
    case TDataTable::TChange::Inserted: {
        const int pos = PositionOf(UIDOf(*row));
        beginInsertRows({}, pos, pos);
        FRows.insert(FRows.begin() + pos, row);
        endInsertRows();
        return;
    }
    case TDataTable::TChange::Changed:
        RowChanged(UIDOf(*row));
        return;
    case TDataTable::TChange::Deleted: {
        const int32_t uid = UIDOf(*row);
        int pos = RowOf(uid);
        if (pos < 0 || FRows[pos] != row) { // not in UID order: look for it
            const auto it = std::find(FRows.begin(), FRows.end(), row);
            if (it == FRows.end())
                return;
            pos = static_cast<int>(it - FRows.begin());
        }
        beginRemoveRows({}, pos, pos);
        FRows.erase(FRows.begin() + pos);
        FProgress.remove(uid);
        FTicks.erase(uid);
        FPending.erase(uid);
        endRemoveRows();
        return;
    }
    }
}

void TProxyTableModel::RowChanged(int32_t uid, int firstColumn) {
    if (FCoalescing > 0 || FBulk > 0) {
        FPending.insert(uid);
        FPendingFirstColumn = std::min(FPendingFirstColumn, firstColumn);
        return;
    }
    const int row = RowOf(uid);
    if (row >= 0)
        emit dataChanged(index(row, firstColumn), index(row, ColumnCount - 1));
}

void TProxyTableModel::BeginCoalescing() {
    ++FCoalescing;
}

void TProxyTableModel::EndCoalescing() {
    if (FCoalescing > 0 && --FCoalescing == 0)
        Flush();
}

void TProxyTableModel::Flush() {
    if ((FPending.empty() && !FAllPending) || FBulk > 0)
        return;
    const int count = rowCount();
    // Many rows: one range over all of them costs the views less than many.
    if (FAllPending || FPending.size() * 4 >= static_cast<size_t>(count)) {
        const int firstColumn = FPendingFirstColumn;
        FPending.clear();
        FAllPending = false;
        FPendingFirstColumn = ColumnCount - 1;
        if (count == 0)
            return;
        if (FOnManyRowsChanged)
            FOnManyRowsChanged(firstColumn, ColumnCount - 1);
        else
            emit dataChanged(index(0, firstColumn), index(count - 1, ColumnCount - 1));
        return;
    }
    std::vector<int> rows;
    rows.reserve(FPending.size());
    for (int32_t uid : FPending) {
        const int row = RowOf(uid);
        if (row >= 0)
            rows.push_back(row);
    }
    FPending.clear();
    FPendingFirstColumn = ColumnCount - 1;
    std::sort(rows.begin(), rows.end());
    // Rows a few apart go in one range: fewer signals, a little more repainting.
    constexpr int Gap = 16;
    size_t i = 0;
    while (i < rows.size()) {
        const int first = rows[i];
        int last = first;
        while (++i < rows.size() && rows[i] - last <= Gap)
            last = rows[i];
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
    }
}

TProxyTableModel::TBulkChange::TBulkChange(TProxyTableModel &model) : FModel(model) {
    if (FModel.FBulk++ == 0) {
        FModel.beginResetModel();
        FModel.FRows.clear();
    }
}

TProxyTableModel::TBulkChange::~TBulkChange() {
    if (--FModel.FBulk == 0) {
        FModel.ReadRows();
        FModel.FPending.clear();
        FModel.endResetModel();
    }
}

// ---- progress ---------------------------------------------------------------

void TProxyTableModel::SetProgress(int32_t uid, const QString &text) {
    FProgress[uid] = text;
    RowChanged(uid, colStatus);
}

void TProxyTableModel::SetProgress(const std::vector<int32_t> &uids, const QString &text) {
    FProgress.reserve(FProgress.size() + static_cast<qsizetype>(uids.size()));
    for (const int32_t uid : uids)
        FProgress[uid] = text;
    FAllPending = true;
    FPendingFirstColumn = std::min<int>(FPendingFirstColumn, colStatus);
    if (FCoalescing == 0)
        Flush();
}

void TProxyTableModel::ClearProgress(int32_t uid) {
    if (FProgress.remove(uid))
        RowChanged(uid, colStatus);
}

void TProxyTableModel::ClearAllProgress() {
    if (FProgress.isEmpty())
        return;
    // Many rows: every row is told at once, not each one marked.
    if (FProgress.size() * 4 >= FRows.size())
        FAllPending = true;
    else
        for (auto it = FProgress.cbegin(); it != FProgress.cend(); ++it)
            FPending.insert(it.key());
    FPendingFirstColumn = std::min<int>(FPendingFirstColumn, colStatus);
    FProgress.clear();
    if (FCoalescing == 0)
        Flush();
}

const QString *TProxyTableModel::Progress(int row) const {
    if (FProgress.isEmpty())
        return nullptr;
    const auto it = FProgress.constFind(UIDAt(row));
    return it == FProgress.cend() ? nullptr : &it.value();
}

// ---- values -----------------------------------------------------------------

QString TProxyTableModel::StatusText(int row) const {
    if (const QString *progress = Progress(row))
        return *progress;
    return StatusCodeText(IntOf(FRows[row]->Values[FStatus]));
}

QString TProxyTableModel::Text(int row, int column) const {
    const TDataTable::TRow &r = *FRows.at(static_cast<size_t>(row));
    switch (column) {
    case colIPHost:
        return TWin1252::ToUnicode(BytesOf(r.Values[FIPAddress]));
    case colPort:
        return QString::number(static_cast<int32_t>(IntOf(r.Values[FPort])));
    case colStatus:
        return StatusText(row);
    case colType:
        return TypeCodeText(IntOf(r.Values[FHostType]));
    case colSpeed:
        return Progress(row) ? ZeroSpeed : SpeedToText(RealOf(r.Values[FSpeed]));
    default:
        return {};
    }
}

QString TProxyTableModel::AddressPort(int row) const {
    return Text(row, colIPHost) + QLatin1Char(':') + Text(row, colPort);
}

QColor TProxyTableModel::RowColour(int row) const {
    return TProxyRowColours::RowColour(StatusText(row), FKind);
}

bool TProxyTableModel::Less(int left, int right, int column) const {
    const TDataTable::TRow &l = *FRows[left];
    const TDataTable::TRow &r = *FRows[right];
    switch (column) {
    case colIPHost:
        return BytesOf(l.Values[FIPAddress])
                   .compare(BytesOf(r.Values[FIPAddress]), Qt::CaseInsensitive) < 0;
    case colPort:
        return IntOf(l.Values[FPort]) < IntOf(r.Values[FPort]);
    case colStatus:
        return StatusText(left) < StatusText(right);
    case colType:
        return TypeCodeText(IntOf(l.Values[FHostType])) < TypeCodeText(IntOf(r.Values[FHostType]));
    case colSpeed: {
        const double a = Progress(left) ? 0 : RealOf(l.Values[FSpeed]);
        const double b = Progress(right) ? 0 : RealOf(r.Values[FSpeed]);
        return a < b;
    }
    default:
        return false;
    }
}

// ---- QAbstractTableModel ----------------------------------------------------

int TProxyTableModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TProxyTableModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TProxyTableModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return Text(index.row(), index.column());
    case Qt::BackgroundRole: {
        const QColor colour = RowColour(index.row());
        return colour.isValid() ? QVariant(QBrush(colour)) : QVariant();
    }
    case Qt::ForegroundRole: {
        // A coloured row's text reads on its colour, whatever the palette's text is.
        const QColor colour = RowColour(index.row());
        return colour.isValid() ? QVariant(QBrush(TTextContrast::TextOn(colour))) : QVariant();
    }
    case Qt::TextAlignmentRole:
        if (index.column() == colSpeed)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        return {};
    case Qt::CheckStateRole:
        if (FTickBoxes && index.column() == 0)
            return Ticked(UIDAt(index.row())) ? Qt::Checked : Qt::Unchecked;
        return {};
    default:
        return {};
    }
}

bool TProxyTableModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!FTickBoxes || role != Qt::CheckStateRole || !index.isValid() || index.column() != 0)
        return false;
    SetTicked(UIDAt(index.row()), value.toInt() == Qt::Checked);
    return true;
}

QVariant TProxyTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    static const QString titles[] = {QStringLiteral("IP/Host"), QStringLiteral("Port"),
                                     QStringLiteral("Status"), QStringLiteral("Type"),
                                     QStringLiteral("Speed")};
    if (role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return titles[section];
    if (role == Qt::TextAlignmentRole && section == colSpeed)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
    return {};
}

Qt::ItemFlags TProxyTableModel::flags(const QModelIndex &index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    if (FTickBoxes && index.column() == 0)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

// ---- tick boxes -------------------------------------------------------------

void TProxyTableModel::SetTickBoxes(bool on) {
    if (FTickBoxes == on)
        return;
    FTickBoxes = on;
    FTicks.clear();
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0));
}

void TProxyTableModel::SetTicked(int32_t uid, bool ticked) {
    if (!FTickBoxes || Ticked(uid) == ticked)
        return;
    if (ticked)
        FTicks.insert(uid);
    else
        FTicks.erase(uid);
    const int row = RowOf(uid);
    if (row >= 0)
        emit dataChanged(index(row, 0), index(row, 0), {Qt::CheckStateRole});
    if (FOnTickChanged)
        FOnTickChanged(uid, ticked);
}

std::vector<int32_t> TProxyTableModel::TickedUIDs() const {
    std::vector<int32_t> uids;
    for (int32_t uid : FTicks)
        if (RowOf(uid) >= 0)
            uids.push_back(uid);
    std::sort(uids.begin(), uids.end()); // the store's order is the UIDs'
    return uids;
}

void TProxyTableModel::ClearTicks() {
    if (FTicks.empty())
        return;
    FTicks.clear();
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}
