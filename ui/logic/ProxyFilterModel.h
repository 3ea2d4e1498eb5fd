#pragma once
// The order and the filter of a proxy list over TProxyTableModel: sorted by
// any column (a state of the view only, never stored; "Port" and "Speed" as
// numbers), and filtered by a part of the address (any letter case) and by
// the status shown ("OK", "TIME OUT", "Not Checked", a check's "Testing").
// Without a sort column the rows keep the store's order.

#include "ui/logic/ProxyTableModel.h"

#include <QPointer>
#include <QSortFilterProxyModel>
#include <functional>

class TProxyFilterModel : public QSortFilterProxyModel {
public:
    // The status filter's choices; AllStatuses lets every row through.
    static const QString AllStatuses; // "All"
    static QStringList StatusChoices();

    explicit TProxyFilterModel(TProxyTableModel &source, QObject *parent = nullptr);
    ~TProxyFilterModel() override;

    TProxyTableModel &Source() const { return FSource; }

    void SetAddressFilter(const QString &part);
    const QString &AddressFilter() const { return FAddress; }
    void SetStatusFilter(const QString &status); // empty or AllStatuses: every status
    const QString &StatusFilter() const { return FStatus; }

    // When every row changed in ways that leave this model's order and
    // filter as they are, the view in front is asked to repaint instead of
    // being told of each row (a view works out the area of a changed range
    // row by row: tens of milliseconds at 100,000 rows).
    std::function<void()> FOnRepaint;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    TProxyTableModel &FSource;
    // The source may go first (both are children of one view, and children
    // go in the order they came).
    QPointer<TProxyTableModel> FSourceAlive;
    QString FAddress;
    QString FStatus;
};
