#pragma once
// A report-style list of proxies over the store: one row per stored proxy,
// read from the store's table through TProxyTableModel (no widget or copy
// per row, so 100,000 rows fill and repaint as fast as 100), sorted by a
// click on a column's header and filtered through TProxyFilterModel. Several
// rows selectable, nothing editable in place. The main window's proxy list
// and the picker frame both use it; the picker adds a tick box in front of
// every row.
//
// Keys: Ctrl+C copies the selected rows as "address:port" lines, in the
// list's order; Delete and Enter (and a double click) go to FOnDeleteKey
// and FOnOpen when set.

#include "ui/logic/ProxyFilterModel.h"
#include "ui/logic/ProxyTableModel.h"
#include "ui/windows/ProxyListItem.h"

#include <QTreeView>
#include <functional>
#include <optional>
#include <vector>

class TdmProxyData;
class TProxData;

class TProxyListView : public QTreeView {
public:
    explicit TProxyListView(TProxyListKind kind, QWidget *parent = nullptr);

    TProxyListKind Kind() const { return FModel->Kind(); }
    // Column widths: the main list's and the frame's (150, 100, 100, 100,
    // 70), or the narrow ones of the chain dialog (150, 70, 70, 70, 70).
    void SetNarrowColumns(bool narrow);
    // A tick box in front of every row; ticking a row selects it.
    void SetCheckboxes(bool on);
    bool Checkboxes() const { return FModel->TickBoxes(); }

    // Shows the store's proxies and follows the store from now on; a list
    // that shows them already reads them anew.
    void Fill(TdmProxyData &store);
    // No rows, and the store is no longer followed.
    void ClearRows();

    TProxyTableModel *Model() const { return FModel; }
    TProxyFilterModel *Filter() const { return FFilter; }

    // Rows as the list shows them: sorted and filtered.
    int RowCount() const;
    TProxyListItem Row(int index) const { return TProxyListItem(this, index); }
    // The shown row of this UID; none when it has no row or is filtered out.
    std::optional<TProxyListItem> FindRow(int32_t uid) const;
    // Selected rows, top to bottom.
    std::vector<TProxyListItem> SelectedRows() const;
    std::vector<int32_t> SelectedUIDs() const;
    // Ticked rows, top to bottom.
    std::vector<TProxyListItem> CheckedRows() const;
    std::vector<int32_t> CheckedUIDs() const;
    void SetChecked(const TProxyListItem &row, bool checked);
    void UncheckAll();
    // The row of the record's UID shows the store's values again: the
    // progress of its check is over.
    void UpdateRow(const TProxData &data);

    // The selected rows as "address:port" lines, top to bottom.
    QString SelectionText() const;
    void CopySelection() const;

    // Between shown rows and the model's rows.
    int SourceRow(int viewRow) const;
    int ViewRow(int sourceRow) const;

    std::function<void()> FOnDeleteKey;
    std::function<void()> FOnOpen;

protected:
    void keyPressEvent(QKeyEvent *e) override;

private:
    TProxyTableModel *FModel;
    TProxyFilterModel *FFilter;
};
