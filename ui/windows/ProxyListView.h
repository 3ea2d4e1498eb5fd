#pragma once
// A report-style list of proxies, one row per stored proxy in the store's
// order, several rows selectable, nothing editable in place. The main
// window's proxy list and the picker frame both use it; the picker adds a
// tick box in front of every row.

#include "ui/windows/ProxyListItem.h"

#include <QTreeWidget>
#include <vector>

class TdmProxyData;

class TProxyListView : public QTreeWidget {
public:
    explicit TProxyListView(TProxyListKind kind, QWidget *parent = nullptr);

    TProxyListKind Kind() const { return FKind; }
    // Column widths: the main list's and the frame's (150, 100, 100, 100,
    // 70), or the narrow ones of the chain dialog (150, 70, 70, 70, 70).
    void SetNarrowColumns(bool narrow);
    // A tick box in front of every row (set before filling).
    void SetCheckboxes(bool on);
    bool Checkboxes() const { return FCheckboxes; }

    // Empties the list, then one row per proxy record of the store.
    void Fill(TdmProxyData &store);
    // Frees every row with its record.
    void ClearRows();

    int RowCount() const { return topLevelItemCount(); }
    TProxyListItem *Row(int index) const;
    // The first row whose record has this UID; null when none.
    TProxyListItem *FindRow(int32_t uid) const;
    // Selected rows, top to bottom.
    std::vector<TProxyListItem *> SelectedRows() const;
    // Ticked rows, top to bottom.
    std::vector<TProxyListItem *> CheckedRows() const;
    void SetChecked(TProxyListItem *row, bool checked);
    void UncheckAll();

    // Sets "Status", "Speed" and "Type" of the row with the record's UID from
    // the record; the row's own record stays as it was.
    void UpdateRow(const TProxData &data);
    // Sets one cell of the row with this UID, if there is one.
    void SetCell(int32_t uid, int column, const QString &text);

private:
    TProxyListKind FKind;
    bool FCheckboxes = false;
    bool FFilling = false;
};
