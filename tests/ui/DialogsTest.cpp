// The record dialogs: the proxy dialog, the bulk dialog, the program dialog,
// and the chain dialog opened from the main window's commands.
#include "ui/windows/Dialogs.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmAddBulkProxy.h"
#include "ui/windows/frmAnonymizedProgram.h"
#include "ui/windows/frmProxyRecord.h"
#include "ui/windows/frmSocksChainRecord.h"
#include "ui/windows/frmeAnonymize.h"
#include "ui/windows/frmeProxyList.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRadioButton>
#include <QSettings>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace VelmoraTest;

namespace {

class Dialogs : public testing::Test {
protected:
    Dialogs() {
        Fixture.Open();
        Set = std::make_unique<TDialogs>(Fixture.Store(), Fixture.Services().ChainMgr(),
                                         Fixture.Prompts(), &Fixture.Window());
        Fixture.Window().SetDialogs(Set.get());
    }
    ~Dialogs() override { Set.reset(); }

    TdmProxyData &Store() { return Fixture.Store(); }
    TRecordingPrompts &Prompts() { return Fixture.Prompts(); }
    QByteArray TableFiles() {
        QByteArray all;
        for (const char *name : {"Proxies.cds", "ChainedProxies.cds", "ChainedProxyProxies.cds"}) {
            QFile f(Fixture.Folder() + name);
            f.open(QIODevice::ReadOnly);
            all += f.readAll();
        }
        return QCryptographicHash::hash(all, QCryptographicHash::Sha256);
    }
    TProxData Stored(int32_t uid) {
        TdmProxyData reread(Fixture.Folder());
        reread.LoadData();
        TProxData rec;
        reread.GetProxyRecord(uid, &rec);
        return rec;
    }
    // Runs `act` on the modal dialog once it is open (polled, at most 5 s).
    static void WhenModal(std::function<void(QWidget *)> act) {
        auto *timer = new QTimer;
        auto *started = new QElapsedTimer;
        started->start();
        QObject::connect(timer, &QTimer::timeout, [timer, started, act] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal && started->elapsed() < 5000)
                return;
            timer->stop();
            timer->deleteLater();
            delete started;
            if (!modal)
                return;
            act(modal);
            // A dialog that stayed open fails the test instead of hanging it.
            QPointer<QDialog> dialog(qobject_cast<QDialog *>(modal));
            QTimer::singleShot(2000, [dialog] {
                if (dialog && dialog->isVisible())
                    dialog->reject();
            });
        });
        timer->start(10);
    }

    TMainFixture Fixture{TMainFixture::TData::Sample};
    std::unique_ptr<TDialogs> Set;
};

} // namespace

TEST_F(Dialogs, ProxyAddThenCancelWritesNothing) {
    const QByteArray before = TableFiles();
    const int rows = Store().cdsProxies().RecordCount();
    TfrmProxyRecord *dialog = Set->frmProxyRecord();
    dialog->Add();
    EXPECT_EQ(dialog->CheckedChoice(), TfrmProxyRecord::chAutoDetect);
    dialog->edIPAddress()->setText("192.0.2.99");
    dialog->reject();
    EXPECT_EQ(Store().cdsProxies().RecordCount(), rows);
    EXPECT_EQ(TableFiles(), before);
}

TEST_F(Dialogs, ProxyOkChecksItsFieldsThenStoresAndSaves) {
    TfrmProxyRecord *dialog = Set->frmProxyRecord();
    dialog->Add();
    dialog->edIPAddress()->setText("192.0.2.99");
    dialog->OkClick();
    EXPECT_EQ(Prompts().Messages, QStringList({"IP address and Port are required"}));
    dialog->edPort()->setText("+");
    try {
        dialog->OkClick();
        FAIL() << "no error";
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "'+' is not a valid integer value for field 'Port'");
    }
    dialog->edPort()->setText("8080");
    dialog->edHostName()->setText("relay.example");
    dialog->Choice(TfrmProxyRecord::chHTTP)->setChecked(true);
    dialog->OkClick();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    TDataTable &t = Store().cdsProxies();
    t.Last();
    const int32_t uid = t.FieldByName("UID").AsInteger();
    const TProxData saved = Stored(uid);
    EXPECT_EQ(saved.FIPAddress, QStringLiteral("192.0.2.99"));
    EXPECT_EQ(saved.FHostName, QStringLiteral("relay.example"));
    EXPECT_EQ(saved.FPort, 8080);
    EXPECT_EQ(saved.FProxyType, TProxyType::ptHTTP);
    EXPECT_EQ(saved.FStatus, TProxyStatus::psUnknown);
}

TEST_F(Dialogs, ProxyEditKeepsEveryStoredType) {
    // The sample's proxies 1, 3 and 4 have the types 0, 1 and 3; make 2 a "SOCKS 4/5".
    Store().LocateProxyRecord(2);
    Store().cdsProxies().Edit();
    Store().cdsProxies().FieldByName("HostType").SetAsInteger(2);
    Store().cdsProxies().Post();
    const std::pair<int32_t, TProxyType> expected[] = {{1, TProxyType::ptUnknown},
                                                       {2, TProxyType::ptSOCKS45},
                                                       {3, TProxyType::ptSOCKS4},
                                                       {4, TProxyType::ptSOCKS5}};
    TfrmProxyRecord *dialog = Set->frmProxyRecord();
    for (const auto &[uid, type] : expected) {
        ASSERT_TRUE(dialog->Edit(uid));
        EXPECT_EQ(dialog->CheckedChoice(),
                  uid == 2 ? -1 : *TfrmProxyRecord::ChoiceOfType(int(type)));
        dialog->OkClick();
        EXPECT_EQ(Stored(uid).FProxyType, type) << uid;
    }
    EXPECT_FALSE(dialog->Edit(77));
}

TEST_F(Dialogs, ResolveLooksTheAddressUp) {
    TfrmProxyRecord *dialog = Set->frmProxyRecord();
    dialog->Add();
    dialog->ResolveClick();
    EXPECT_EQ(Prompts().Messages, QStringList({"IP address must be specified"}));
    dialog->show();
    dialog->edIPAddress()->setText("127.0.0.1");
    dialog->ResolveClick();
    ASSERT_TRUE(Pump([&] { return dialog->PendingLookups() == 0; }, 20000));
    // The registered name, or the address itself when there is none.
    EXPECT_FALSE(dialog->edHostName()->text().isEmpty());
    // A look-up that ends after the dialog moved on changes nothing.
    dialog->ResolveClick();
    dialog->Add();
    ASSERT_TRUE(Pump([&] { return dialog->PendingLookups() == 0; }, 20000));
    EXPECT_TRUE(dialog->edHostName()->text().isEmpty());
    dialog->hide();
}

TEST_F(Dialogs, BulkKeepsItsTextAndAddsAllOrNothing) {
    TfrmAddBulkProxy *dialog = Set->frmAddBulkProxy();
    const int rows = Store().cdsProxies().RecordCount();
    dialog->mmProxies()->setPlainText("192.0.2.20:1080\n192.0.2.21:80:1\n");
    dialog->OkClick();
    EXPECT_EQ(Prompts().Errors, QStringList({"'80:1' is not a valid integer value"}));
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(Store().cdsProxies().RecordCount(), rows);
    dialog->mmProxies()->setPlainText("192.0.2.20:1080\n\n192.0.2.21\n");
    dialog->OkClick();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->Added(), 2);
    EXPECT_EQ(Store().cdsProxies().RecordCount(), rows + 2);
    EXPECT_EQ(dialog->mmProxies()->toPlainText(),
              QStringLiteral("192.0.2.20:1080\n\n192.0.2.21\n"));
}

TEST_F(Dialogs, ProgramOnAChainStoresItsPortAndEditShowsIt) {
    TfrmAnonymizedProgram *dialog = Set->frmAnonymizedProgram();
    dialog->Add();
    EXPECT_FALSE(dialog->lblWarning()->isVisibleTo(dialog));
    EXPECT_EQ(dialog->cmbChainList()->count(), 2); // "Default" and "Work"
    dialog->Button1Click();
    EXPECT_EQ(Prompts().Messages, QStringList({"Program filename is required"}));
    dialog->FOnBrowse = [] { return QStringLiteral("/opt/tools/bin/curl"); };
    dialog->Button3Click();
    EXPECT_EQ(dialog->edFilename()->text(), QStringLiteral("curl"));
    dialog->cmbChainList()->setCurrentIndex(1);
    dialog->Button1Click();
    ASSERT_EQ(dialog->result(), QDialog::Accepted);
    TDataTable &t = Store().cdsAnonymizedList();
    t.Last();
    const int32_t uid = t.FieldByName("UID").AsInteger();
    EXPECT_EQ(t.FieldByName("Filename").AsString(), QStringLiteral("curl"));
    EXPECT_EQ(t.FieldByName("ChainUID").AsInteger(), 2);
    EXPECT_EQ(t.FieldByName("ChainPort").AsInteger(), 9050);
    EXPECT_EQ(t.FieldByName("NoOfProxy").AsInteger(), 2);

    dialog->Edit(uid);
    EXPECT_TRUE(dialog->edFilename()->isReadOnly());
    EXPECT_EQ(dialog->cmbChainList()->currentText(), QStringLiteral("Work"));
    EXPECT_FALSE(dialog->lblWarning()->isVisibleTo(dialog));
    dialog->Edit(2); // the sample's y.exe has port 0
    EXPECT_TRUE(dialog->lblWarning()->isVisibleTo(dialog));
    try {
        dialog->Edit(99);
        FAIL() << "no error";
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "unknown anonumized application");
    }
}

TEST_F(Dialogs, AddProxyFromTheMainWindowRebuildsTheList) {
    TfrmMain &w = Fixture.Window();
    const int rows = w.lvProxyList()->RowCount();
    WhenModal([](QWidget *modal) {
        auto *dialog = static_cast<TfrmProxyRecord *>(modal);
        dialog->edIPAddress()->setText("203.0.113.5");
        dialog->edPort()->setText("1081");
        dialog->OkClick();
    });
    w.actAddProxy->trigger();
    ASSERT_EQ(w.lvProxyList()->RowCount(), rows + 1);
    EXPECT_EQ(w.lvProxyList()->Row(rows).text(TProxyListItem::colIPHost),
              QStringLiteral("203.0.113.5"));
    EXPECT_EQ(w.lvProxyList()->Row(rows).text(TProxyListItem::colType), QStringLiteral("Unknown"));
}

TEST_F(Dialogs, AddChainFromTheMainWindowWithPickedProxies) {
    TfrmMain &w = Fixture.Window();
    WhenModal([](QWidget *modal) {
        auto *dialog = static_cast<TfrmSocksChainRecord *>(modal);
        dialog->edName()->setText("Picked");
        dialog->edPort()->setText("4711");
        TProxyListView *picker = dialog->frmeProxyList()->lvProxies();
        picker->SetChecked(picker->Row(3), true);
        picker->SetChecked(picker->Row(1), true);
        dialog->UpdateActions();
        dialog->actAdd()->trigger();
        EXPECT_EQ(dialog->lvChainItems()->topLevelItemCount(), 2);
        EXPECT_TRUE(picker->CheckedRows().empty());
        dialog->OkClick();
    });
    w.actNewSocksChain->trigger();
    EXPECT_EQ(w.CurrentPage(), TMainPage::mpProxySocksChain);
    QTreeWidget *chains = w.frmeSocksChain()->lvChains();
    ASSERT_EQ(chains->topLevelItemCount(), 3);
    EXPECT_EQ(chains->topLevelItem(2)->text(TfrmeSocksChain::colName), QStringLiteral("Picked"));
    EXPECT_FALSE(Store().SavesHeld());
    // Proxy 2 has status "TIME OUT": the chain is saved but not started, and
    // its row says why at once.
    EXPECT_TRUE(Fixture.ActivityLines().contains(
        "chain on port 4711 not started (some proxy items not working)"));
    EXPECT_EQ(chains->topLevelItem(2)->text(TfrmeSocksChain::colStatus),
              QStringLiteral("not started: some proxy items not working: 1 of 2 OK"));
}

// A port the new chain may not take stops "Add" and "OK" alike with the
// reason: nothing is stored, the dialog stays open, the ticks stay.
TEST_F(Dialogs, ChainPortRefusedKeepsThePickerTicksAndStoresNothing) {
    TfrmMain &w = Fixture.Window();
    const uint16_t held = FreeLoopbackPort();
    TSocket other = TSocket::Listen(TSocket::Family::IPv4, held, 4); // another program's
    const QByteArray files = TableFiles();
    bool ran = false;
    WhenModal([&](QWidget *modal) {
        auto *dialog = static_cast<TfrmSocksChainRecord *>(modal);
        dialog->edName()->setText("Taken");
        dialog->edPort()->setText(QString::number(held));
        TProxyListView *picker = dialog->frmeProxyList()->lvProxies();
        picker->SetChecked(picker->Row(3), true);
        picker->SetChecked(picker->Row(1), true);
        dialog->UpdateActions();
        dialog->actAdd()->trigger();
        const QString refused = QString("Port %1 is in use by another program").arg(held);
        EXPECT_EQ(Prompts().Messages, QStringList({refused}));
        EXPECT_EQ(picker->CheckedRows().size(), 2u);
        EXPECT_EQ(dialog->lvChainItems()->topLevelItemCount(), 0);
        dialog->chkAutoCreate()->setChecked(true); // needs no proxy, still the port
        dialog->OkClick();
        EXPECT_EQ(Prompts().Messages, QStringList({refused, refused}));
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(picker->CheckedRows().size(), 2u);
        ran = true;
        dialog->reject();
    });
    w.actNewSocksChain->trigger();
    EXPECT_TRUE(ran);
    EXPECT_EQ(w.frmeSocksChain()->lvChains()->topLevelItemCount(), 2);
    EXPECT_EQ(TableFiles(), files);
    EXPECT_TRUE(Prompts().Errors.isEmpty()) << Prompts().Errors.join('|').toStdString();
}

// "Delete" takes every selected proxy; "Move Up" moves the selection and
// keeps it selected; OK stores the order.
TEST_F(Dialogs, ChainDialogDeletesSeveralProxiesAndMovesThem) {
    TfrmMain &w = Fixture.Window();
    w.actProxySocksChain->trigger();
    QTreeWidget *chains = w.frmeSocksChain()->lvChains();
    chains->topLevelItem(1)->setSelected(true); // "Work": proxies 3, 1, 4
    auto hops = [](TfrmSocksChainRecord *dialog) {
        TChainedProxyData chain;
        dialog->Editor().LoadChainItems(chain);
        std::vector<int32_t> uids;
        for (const auto &p : chain.FChainedItems)
            uids.push_back(p->FUID);
        return uids;
    };
    bool ran = false;
    WhenModal([&](QWidget *modal) {
        auto *dialog = static_cast<TfrmSocksChainRecord *>(modal);
        TProxyListView *picker = dialog->frmeProxyList()->lvProxies();
        picker->SetChecked(picker->Row(1), true); // proxy 2
        dialog->actAdd()->trigger();
        EXPECT_EQ(hops(dialog), std::vector<int32_t>({3, 1, 4, 2}));
        QTreeWidget *items = dialog->lvChainItems();
        items->topLevelItem(0)->setSelected(true);
        items->topLevelItem(1)->setSelected(true);
        dialog->UpdateActions();
        ASSERT_TRUE(dialog->actDelete()->isEnabled());
        dialog->actDelete()->trigger();
        EXPECT_EQ(hops(dialog), std::vector<int32_t>({4, 2}));
        items->clearSelection();
        items->topLevelItem(1)->setSelected(true);
        dialog->UpdateActions();
        ASSERT_TRUE(dialog->actMoveUp()->isEnabled());
        dialog->actMoveUp()->trigger();
        EXPECT_EQ(hops(dialog), std::vector<int32_t>({2, 4}));
        EXPECT_TRUE(items->topLevelItem(0)->isSelected());
        EXPECT_FALSE(items->topLevelItem(1)->isSelected());
        dialog->actMoveUp()->trigger(); // already first
        dialog->actMoveDown()->trigger();
        dialog->actMoveUp()->trigger();
        EXPECT_EQ(hops(dialog), std::vector<int32_t>({2, 4}));
        ran = true;
        dialog->OkClick();
    });
    w.actEditSocksChain->trigger();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(Prompts().Messages.isEmpty()) << Prompts().Messages.join('|').toStdString();
    TdmProxyData reread(Fixture.Folder());
    reread.LoadData();
    TChainedProxyData stored;
    reread.GetChainedProxyRecord(2, stored);
    std::vector<int32_t> uids;
    for (const auto &p : stored.FChainedItems)
        uids.push_back(p->FUID);
    EXPECT_EQ(uids, std::vector<int32_t>({2, 4}));
}

// A chain that ends in a SOCKS 4 proxy is warned about while it does, and
// only then: such a proxy gets names as SOCKS 4a, which many refuse.
TEST_F(Dialogs, ChainDialogWarnsWhileTheLastProxyIsSocks4) {
    TfrmMain &w = Fixture.Window();
    w.actProxySocksChain->trigger();
    w.frmeSocksChain()->lvChains()->topLevelItem(1)->setSelected(true); // "Work": proxies 3, 1, 4
    bool ran = false;
    WhenModal([&](QWidget *modal) {
        auto *dialog = static_cast<TfrmSocksChainRecord *>(modal);
        QLabel *warning = dialog->lblLastHopWarning();
        EXPECT_TRUE(warning->isHidden()); // ends in proxy 4, SOCKS 5
        QTreeWidget *items = dialog->lvChainItems();
        items->topLevelItem(0)->setSelected(true); // proxy 3, SOCKS 4
        dialog->UpdateActions();
        dialog->actMoveDown()->trigger();
        dialog->actMoveDown()->trigger();
        EXPECT_FALSE(warning->isHidden());
        EXPECT_TRUE(warning->text().contains("SOCKS 4a")) << warning->text().toStdString();
        ran = true;
        dialog->reject();
    });
    w.actEditSocksChain->trigger();
    EXPECT_TRUE(ran);
}

TEST_F(Dialogs, ProgramsPageAddsAndHandsTheListOff) {
    TfrmMain &w = Fixture.Window();
    w.actAnonymizeProgram->trigger();
    WhenModal([](QWidget *modal) {
        auto *dialog = static_cast<TfrmAnonymizedProgram *>(modal);
        dialog->edFilename()->setText("wget");
        dialog->cmbChainList()->setCurrentIndex(1);
        dialog->Button1Click();
    });
    w.frmeAnonymize()->actAdd()->trigger();
    EXPECT_EQ(w.frmeAnonymize()->lvPrograms()->topLevelItemCount(), 3);
    QSettings key(QSettings::NativeFormat, QSettings::UserScope,
                  QStringLiteral("VelmoraAnonumizer"), QStringLiteral("AnonymList"));
    EXPECT_EQ(key.value("wget").toInt(), 9050);
    EXPECT_EQ(key.value("x.exe").toInt(), 9050);
}
