#include "ui/logic/ProxyFilterModel.h"

#include "check/ProxyChecker.h"
#include "store/ProxyTypes.h"

const QString TProxyFilterModel::AllStatuses = QStringLiteral("All");

QStringList TProxyFilterModel::StatusChoices() {
    return {AllStatuses, ProxyStatusText(static_cast<int>(TProxyStatus::psAvailable)),
            ProxyStatusText(static_cast<int>(TProxyStatus::psUnavailable)),
            ProxyStatusText(static_cast<int>(TProxyStatus::psUnknown)), TProxyChecker::TestingText};
}

TProxyFilterModel::TProxyFilterModel(TProxyTableModel &source, QObject *parent)
    : QSortFilterProxyModel(parent), FSource(source), FSourceAlive(&source) {
    setSourceModel(&source);
    setDynamicSortFilter(true);
    // A check's start and end change every row: only a status filter or a
    // sort by a changed column needs the rows looked at again; otherwise
    // repainting is all (telling this model of 100,000 changed rows one by
    // one costs tens of milliseconds of the window's thread).
    FSource.FOnManyRowsChanged = [this](int firstColumn, int lastColumn) {
        const auto within = [&](int column) {
            return column >= firstColumn && column <= lastColumn;
        };
        if (within(sortColumn())) {
            invalidate(); // sorts and filters anew
            return;
        }
        if ((!FStatus.isEmpty() && within(TProxyTableModel::colStatus)) ||
            (!FAddress.isEmpty() && within(TProxyTableModel::colIPHost)))
            invalidateRowsFilter();
        if (rowCount() == 0)
            return;
        if (FOnRepaint)
            FOnRepaint();
        else
            emit dataChanged(index(0, firstColumn), index(rowCount() - 1, lastColumn));
    };
}

TProxyFilterModel::~TProxyFilterModel() {
    if (FSourceAlive)
        FSourceAlive->FOnManyRowsChanged = nullptr;
}

void TProxyFilterModel::SetAddressFilter(const QString &part) {
    if (part == FAddress)
        return;
    FAddress = part;
    invalidateRowsFilter();
}

void TProxyFilterModel::SetStatusFilter(const QString &status) {
    const QString wanted = status == AllStatuses ? QString() : status;
    if (wanted == FStatus)
        return;
    FStatus = wanted;
    invalidateRowsFilter();
}

bool TProxyFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const {
    if (sourceParent.isValid())
        return false;
    if (!FStatus.isEmpty() && FSource.Text(sourceRow, TProxyTableModel::colStatus) != FStatus)
        return false;
    return FAddress.isEmpty() || FSource.Text(sourceRow, TProxyTableModel::colIPHost)
                                     .contains(FAddress, Qt::CaseInsensitive);
}

bool TProxyFilterModel::lessThan(const QModelIndex &left, const QModelIndex &right) const {
    return FSource.Less(left.row(), right.row(), left.column());
}
