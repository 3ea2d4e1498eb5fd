#include "ui/windows/frmeProxyList.h"

#include <QVBoxLayout>

TfrmeProxyList::TfrmeProxyList(TdmProxyData &store, QWidget *parent)
    : QFrame(parent), FStore(store), FList(new TProxyListView(TProxyListKind::plkPicker, this)) {
    setObjectName(QStringLiteral("frmeProxyList"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FList);
}

void TfrmeProxyList::Load() {
    ClearItems();
    FillItems();
}

void TfrmeProxyList::ClearItems() {
    Fselected.clear(); // the records go with their rows
    FList->ClearRows();
}

void TfrmeProxyList::FillItems() {
    FList->UncheckAll();
    FList->Fill(FStore);
}

const std::vector<TProxData *> &TfrmeProxyList::GetSelected(bool AClearChecked) {
    Fselected.clear();
    if (FList->Checkboxes()) {
        for (TProxyListItem *row : FList->CheckedRows())
            Fselected.push_back(&row->Record());
        if (AClearChecked)
            FList->UncheckAll();
    } else {
        const auto rows = FList->SelectedRows();
        if (!rows.empty())
            Fselected.push_back(&rows.front()->Record());
    }
    return Fselected;
}
