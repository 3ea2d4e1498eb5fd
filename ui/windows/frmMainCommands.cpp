// The main window's commands: the proxy and chain commands that open the
// record dialogs, deleting (a selection, or every dead proxy), "Stop All" /
// "Start All", the proxy checks and stopping them, and the web site and help.
#include "ui/windows/frmMain.h"

#include "check/ProxyChecker.h"
#include "engine/chain/dmSocksMgr.h"
#include "platform/Error.h"
#include "platform/ProgramFiles.h"
#include "store/dmProxyData.h"
#include "ui/logic/MainDialogs.h"
#include "ui/logic/ProxyTableModel.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmChainTest.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QPointer>
#include <QTimer>
#include <QUrl>

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
    const std::vector<int32_t> uids = GetSelectedProxyUIDs();
    if (uids.empty())
        return;
    if (Dialogs() && FDialogs->EditProxy(uids.front()))
        FillProxyList();
}

void TfrmMain::DeleteProxyExecute() {
    actProxyMgr->trigger();
    const std::vector<int32_t> uids = GetSelectedProxyUIDs();
    if (uids.empty()) {
        FPrompts.ShowMessage(QStringLiteral("Please select a Proxy"));
        return;
    }
    if (!FPrompts.AskYesNo(QStringLiteral("Delete selected Proxies?")))
        return;
    {
        // Thousands of rows: one pass over each table, one reset of the list
        // and one save.
        TProxyTableModel::TBulkChange bulk(*FProxyList->Model());
        FStore.DeleteProxies(uids);
    }
    // Chains lose the deleted proxies as hops.
    FChainFrame->PopulatechainList();
}

void TfrmMain::DeleteDeadProxiesExecute() {
    actProxyMgr->trigger();
    const int count = FStore.CountProxiesWithStatus(TProxyStatus::psUnavailable);
    if (count == 0) {
        FPrompts.ShowMessage(TMainScreenLogic::NoDeadProxiesText);
        return;
    }
    if (!FPrompts.AskYesNo(TMainScreenLogic::DeleteDeadQuestion(count)))
        return;
    FStore.DeleteProxiesWithStatus(TProxyStatus::psUnavailable);
    FChainFrame->PopulatechainList();
}

void TfrmMain::StopCheckingExecute() {
    if (FCheckStarting) { // stopped before its checks began
        FCheckStarting = false;
        CheckEnded();
    } else if (FChecker) {
        FChecker->Stop(); // its end follows, with "Check done"
    }
    UpdateActions();
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
    if (Checking()) {
        FPrompts.ShowMessage(TMainScreenLogic::CheckRunningText);
        return;
    }
    StartCheck(GetSelectedProxyUIDs());
}

void TfrmMain::CheckAllProxies() {
    if (Checking()) {
        FPrompts.ShowMessage(TMainScreenLogic::CheckRunningText);
        return;
    }
    const TProxyTableModel *rows = FProxyList->Model();
    std::vector<int32_t> uids;
    uids.reserve(static_cast<size_t>(rows->rowCount()));
    for (int row = 0; row < rows->rowCount(); ++row)
        uids.push_back(rows->UIDAt(row));
    StartCheck(std::move(uids));
}

// A batch starts over several turns of the event loop: first every row of
// it shows "Testing" (with "0.00") at once, then its records are read a
// slice at a time and the checker started. Reading 100,000 records and
// marking as many rows in one turn would hold the window for longer than a
// user should notice.
void TfrmMain::StartCheck(std::vector<int32_t> uids) {
    if (uids.empty())
        return;
    TProxyTableModel *rows = FProxyList->Model();
    // The list hears of changed rows in groups while the batch runs.
    rows->BeginCoalescing();
    rows->SetProgress(uids, TProxyChecker::TestingText);
    rows->Flush();
    ShowStatusText(QStringLiteral("Checking..."));
    FCheckStarting = true;
    UpdateActions();
    ReadCheckRecords(std::make_shared<std::vector<int32_t>>(std::move(uids)),
                     std::make_shared<TProxyList>(), 0);
}

// Reads the batch's records a slice per turn of the event loop, then starts
// the checker; a batch stopped meanwhile reads no further.
void TfrmMain::ReadCheckRecords(std::shared_ptr<std::vector<int32_t>> uids,
                                std::shared_ptr<TProxyList> list, size_t from) {
    constexpr size_t Slice = 10000;
    QPointer<TfrmMain> self(this);
    QTimer::singleShot(0, this, [self, uids, list, from] {
        if (!self || !self->FCheckStarting)
            return; // stopped before it began
        self->FStore.GetProxyRecords(*uids, from, Slice, *list);
        if (from + Slice < uids->size()) {
            self->ReadCheckRecords(uids, list, from + Slice);
            return;
        }
        self->FCheckStarting = false;
        self->RunCheck(std::make_unique<TProxyList>(std::move(*list)));
    });
}

void TfrmMain::RunCheck(std::unique_ptr<TProxyList> list) {
    if (list->empty()) {
        CheckEnded();
        return;
    }
    auto *checker = new TProxyChecker(FStore);
    FChecker = checker;
    checker->FConnectTimeout = FStore.Timeout() * 1000;
    // The results come back on this thread; the window may be closed or
    // gone by then.
    QPointer<TfrmMain> self(this);
    auto shown = [self] { return self && !self->FClosed; };
    checker->OnCheckComplete = [self, shown](TProxyChecker *, TProxData &AProxyData, TProxyStatus) {
        if (shown())
            self->UpdateProxyRow(AProxyData); // the store has the result
    };
    checker->OnGroupDone = [self, shown](TProxyChecker *ASender) {
        if (!shown())
            return;
        self->FProxyList->Model()->Flush();
        self->ShowStatusText(TMainScreenLogic::CheckProgressText(
            ASender->Checked(), ASender->Total(), ASender->OkCount()));
    };
    checker->OnCheckEnd = [self](TProxyChecker *) {
        if (self) {
            self->FChecker = nullptr;
            self->CheckEnded();
        }
    };
    checker->OnCheckError = [self, shown](TProxyChecker *, const QString &AMessage) {
        if (shown())
            self->FPrompts.ShowError(AMessage);
    };
    checker->Check(std::move(list)); // the checker frees the list and itself
    UpdateActions();
}

void TfrmMain::CheckEnded() {
    if (FClosed)
        return;
    // Rows a stopped batch did not reach show their stored values again.
    TProxyTableModel *model = FProxyList->Model();
    model->ClearAllProgress();
    model->EndCoalescing();
    FPrompts.ShowMessage(QStringLiteral("Check done"));
    ShowStatusText(QString());
    UpdateActions();
}

// ---- the desktop ------------------------------------------------------------

void TfrmMain::OpenMakerWebSite() {
    OpenProgramFile(TMainScreenLogic::MakerWebSite);
}

void TfrmMain::OpenHelp() {
    OpenProgramFile(TMainScreenLogic::HelpFile);
}

// Opens a file that comes with the program from wherever it was found, or
// says where it was looked for.
void TfrmMain::OpenProgramFile(const QString &name) {
    const QStringList folders = TProgramFiles::Folders();
    const QString path = TProgramFiles::Locate(name, folders);
    if (path.isEmpty())
        FPrompts.ShowError(TMainScreenLogic::FileNotFoundText(name, folders));
    else
        FPrompts.OpenUrl(QUrl::fromLocalFile(path));
}
