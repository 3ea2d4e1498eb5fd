#include "ui/windows/frmeProxyList.h"

#include "store/dmProxyData.h"

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
    Fselected.clear();
    FRecords.clear();
    FList->ClearRows();
}

void TfrmeProxyList::FillItems() {
    FList->UncheckAll();
    FList->Fill(FStore);
}

const std::vector<TProxData *> &TfrmeProxyList::GetSelected(bool AClearChecked) {
    Fselected.clear();
    FRecords.clear();
    std::vector<int32_t> uids;
    if (FList->Checkboxes()) {
        uids = FList->CheckedUIDs();
        if (AClearChecked)
            FList->UncheckAll();
    } else {
        const auto rows = FList->SelectedRows();
        if (!rows.empty())
            uids.push_back(rows.front().UID());
    }
    for (int32_t uid : uids) {
        if (const std::optional<TProxData> found = FStore.FindProxy(uid)) {
            auto record = std::make_unique<TProxData>(*found);
            Fselected.push_back(record.get());
            FRecords.push_back(std::move(record));
        }
    }
    return Fselected;
}
