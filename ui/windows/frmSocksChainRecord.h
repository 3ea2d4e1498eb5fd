#pragma once
// The chain dialog "SOCKS's Chain Name": a chain's name, local port and
// automatic-creation settings, the proxies already in the chain in hop
// order (several may be selected, deleted or moved at once), and the picker
// of available proxies. The steps themselves are TChainEditor's.

#include "ui/logic/ChainEditor.h"

#include <QDialog>
#include <functional>
#include <vector>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTreeWidget;
class TChainManager;
class TUiPrompts;
class TdmProxyData;
class TfrmeProxyList;

class TfrmSocksChainRecord : public QDialog {
public:
    TfrmSocksChainRecord(TdmProxyData &store, TChainManager &chains, TUiPrompts &prompts,
                         QWidget *parent = nullptr);

    // Prepare the dialog; then show it modally.
    void Add();
    // False when the chain is not found (the dialog is then not to be shown).
    bool Edit(int32_t AUID);
    void LoadChainItems();
    void ClearChainItems();

    // The buttons.
    void actAddExecute();
    void actEditExecute();
    void actDeleteExecute();
    void actMoveExecute(int delta); // "Move Up" -1, "Move Down" +1
    void OkClick();
    void reject() override; // "Cancel", the close box and Escape
    void UpdateActions();

    // Opens the proxy dialog on a proxy of the chain; true on OK.
    std::function<bool(int32_t AUID)> FOnEditProxy;

    TChainEditor &Editor() { return FEditor; }
    TChainForm Form() const;
    QLineEdit *edName() const { return FName; }
    QLineEdit *edPort() const { return FPort; }
    QLineEdit *edInterval() const { return FInterval; }
    QLineEdit *edCount() const { return FCount; }
    QCheckBox *chkAutoCreate() const { return FAutoCreate; }
    QTreeWidget *lvChainItems() const { return FItems; }
    QLabel *lblLastHopWarning() const { return FLastHopWarning; }
    TfrmeProxyList *frmeProxyList() const { return FPicker; }
    QAction *actAdd() const { return FAdd; }
    QAction *actEdit() const { return FEdit; }
    QAction *actDelete() const { return FDelete; }
    QAction *actMoveUp() const { return FMoveUp; }
    QAction *actMoveDown() const { return FMoveDown; }

protected:
    void done(int r) override;

private:
    // The groups of controls, each on a panel of its own.
    QWidget *BuildSettings();   // name, port, automatic creation
    QWidget *BuildChainItems(); // the chain's proxies and their buttons
    QWidget *BuildAvailable();  // the picker of available proxies
    void ConnectActions();
    void SetForm(const TChainForm &form);
    int32_t SelectedItemUID() const;
    std::vector<int32_t> SelectedItemUIDs() const; // top to bottom
    void Guard(const std::function<void()> &command);

    TChainEditor FEditor;
    TUiPrompts &FPrompts;
    QLineEdit *FName;
    QLineEdit *FPort;
    QLineEdit *FInterval;
    QLineEdit *FCount;
    QCheckBox *FAutoCreate;
    QTreeWidget *FItems;
    QLabel *FLastHopWarning;
    TfrmeProxyList *FPicker;
    QAction *FAdd;
    QAction *FEdit;
    QAction *FDelete;
    QAction *FMoveUp;
    QAction *FMoveDown;
};
