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
    : QSortFilterProxyModel(parent), FSource(source) {
    setSourceModel(&source);
    setDynamicSortFilter(true);
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
