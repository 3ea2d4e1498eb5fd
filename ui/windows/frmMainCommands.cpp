// The main window's commands: the proxy and chain commands that open the
// record dialogs, deleting, "Stop All" / "Start All", the proxy checks, and
// the web site and help.
#include "ui/windows/frmMain.h"

#include "check/ProxyChecker.h"
#include "engine/chain/dmSocksMgr.h"
#include "platform/Error.h"
#include "store/dmProxyData.h"
#include "ui/logic/MainDialogs.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmChainTest.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QDir>
#include <QPointer>
#include <QUrl>

namespace {

const QString ZeroSpeed = QStringLiteral("0.00");

} // namespace

TMainDialogs *TfrmMain::Dialogs() {
    if (!FDialogs)
        FPrompts.ShowMessage(QStringLiteral("This dialog is not available in this version."));
    return FDialogs;
}

void TfrmMain::AddProxyExecute() {
    actProxyMgr->trigger();
    if (Dialogs() && FDialogs->AddProxy())
        FillProxyList();
}

void TfrmMain::EditProxyExecute() {
    actProxyMgr->trigger();
    const auto &rows = GetSelectedProxyItems();
    if (rows.empty())
        return;
    const int32_t uid = rows.front()->UID();
    if (Dialogs() && FDialogs->EditProxy(uid))
        FillProxyList();
}

void TfrmMain::DeleteProxyExecute() {
    actProxyMgr->trigger();
    const auto &rows = GetSelectedProxyItems();
    if (rows.empty()) {
        FPrompts.ShowMessage(QStringLiteral("Please select a Proxy"));
        return;
    }
    if (!FPrompts.AskYesNo(QStringLiteral("Delete selected Proxies?")))
        return;
    std::vector<int32_t> uids;
    for (const TProxyListItem *row : rows)
        uids.push_back(row->UID());
    try {
        for (int32_t uid : uids)
            FStore.DeleteProxy(uid);
    } catch (...) {
        FillProxyList(); // show what is left before the failure is told
        throw;
    }
    FillProxyList();
}

void TfrmMain::AddBulkProxyExecute() {
    if (Dialogs() && FDialogs->AddBulkProxy())
        FillProxyList();
}

void TfrmMain::NewSocksChainExecute() {
    actProxySocksChain->trigger();
    if (Dialogs() && FDialogs->AddSocksChain())
        FChainFrame->PopulatechainList();
}

void TfrmMain::EditSocksChainExecute() {
    const int32_t uid = FChainFrame->GetSelected();
    if (uid == -1)
        return;
    // "OK" may restart the chain, whose test must end first.
    if (!FChainFrame->MayStop({uid}))
        return;
    if (Dialogs() && FDialogs->EditSocksChain(uid))
        FChainFrame->PopulatechainList();
}

void TfrmMain::DeleteChainExecute() {
    actProxySocksChain->trigger();
    FChainFrame->DeleteSelected();
}

void TfrmMain::StopAllExecute() {
    TChainManager &chains = FSocksMgr.ChainMgr();
    if (chains.AnyRunning()) {
        if (!FChainFrame->MayStop({}))
            return;
        chains.StopAll();
    } else {
        chains.StartAll(); // a chain that cannot start says why in its state
    }
    FChainFrame->RefreshStates();
    UpdateActions();
}

void TfrmMain::ShowChainTestReport(const QStringList &lines) {
    if (!FChainTest)
        FChainTest = new TfrmChainTest(this);
    FChainTest->ShowReport(lines);
}

// ---- checks -----------------------------------------------------------------

void TfrmMain::CheckSelectedProxies() {
    auto list = std::make_unique<TProxyList>();
    for (TProxyListItem *row : GetSelectedProxyItems()) {
        row->setText(TProxyListItem::colSpeed, ZeroSpeed);
        auto record = std::make_unique<TProxData>();
        if (!FStore.GetProxyRecord(row->UID(), record.get()))
            throw EVelmoraError("error proxy record");
        list->push_back(std::move(record));
    }
    RunCheck(std::move(list));
}

void TfrmMain::CheckAllProxies() {
    auto list = std::make_unique<TProxyList>();
    FStore.GetAllProxyRecords(*list);
    for (int i = 0; i < FProxyList->RowCount(); ++i)
        FProxyList->Row(i)->setText(TProxyListItem::colSpeed, ZeroSpeed);
    RunCheck(std::move(list));
}

void TfrmMain::RunCheck(std::unique_ptr<TProxyList> list) {
    if (!list->empty()) {
        auto *checker = new TProxyChecker(FStore);
        ShowStatusText(QStringLiteral("Checking..."));
        checker->FConnectTimeout = FStore.Timeout() * 1000;
        // The results come back on this thread; the window may be closed or
        // gone by then.
        QPointer<TfrmMain> self(this);
        auto shown = [self] { return self && !self->FClosed; };
        checker->OnProgress = [self, shown](TProxData &AProx, const QString &AStatus, int32_t) {
            if (shown())
                self->FProxyList->SetCell(AProx.FUID, TProxyListItem::colStatus, AStatus);
        };
        checker->OnCheckComplete = [self, shown](TProxyChecker *, TProxData &AProxyData,
                                                 TProxyStatus) {
            if (!shown() || !self->FStore.LocateProxyRecord(AProxyData.FUID))
                return;
            self->UpdateProxyRow(AProxyData);
            self->FProxyList->viewport()->update();
        };
        checker->OnCheckEnd = [self, shown](TProxyChecker *) {
            if (!shown())
                return;
            self->FPrompts.ShowMessage(QStringLiteral("Check done"));
            self->ShowStatusText(QString());
        };
        checker->OnCheckError = [self, shown](TProxyChecker *, const QString &AMessage) {
            if (shown())
                self->FPrompts.ShowError(AMessage);
        };
        checker->Check(std::move(list)); // the checker frees the list and itself
    }
    FProxyList->viewport()->update();
}

// ---- the desktop ------------------------------------------------------------

void TfrmMain::OpenMakerWebSite() {
    FPrompts.OpenUrl(QUrl(TMainScreenLogic::MakerWebSite));
}

void TfrmMain::OpenHelp() {
    FPrompts.OpenUrl(
        QUrl::fromLocalFile(QDir::current().absoluteFilePath(TMainScreenLogic::HelpFile)));
}
