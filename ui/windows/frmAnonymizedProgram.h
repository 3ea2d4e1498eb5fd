#pragma once
// The program dialog "Anonymized Program": a program's file name and the
// chain its connections are to go through. "OK" appends or changes the row
// of the anonymized programs table with the chain's UID and its port at that
// moment, and saves.

#include "store/ChainedProxyData.h"
#include "store/ProxyTypes.h"

#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class TUiPrompts;
class TdmProxyData;

class TfrmAnonymizedProgram : public QDialog {
public:
    TfrmAnonymizedProgram(TdmProxyData &store, TUiPrompts &prompts, QWidget *parent = nullptr);

    void Add();
    // "unknown anonumized application" when the row is gone.
    void Edit(int32_t AUID);
    void LoadChainList();
    void SelectChain(int32_t AChainUID);

    void Button1Click(); // "OK"
    void Button3Click(); // "Browse..."

    // Picks a program file; empty when cancelled. A file dialog unless
    // replaced by another picker.
    std::function<QString()> FOnBrowse;

    TDataMode Mode() const { return FMode; }
    QLineEdit *edFilename() const { return FFilename; }
    QComboBox *cmbChainList() const { return FChains; }
    QLabel *lblWarning() const { return FWarning; }
    int NoOfProxy() const;

private:
    TdmProxyData &FStore;
    TUiPrompts &FPrompts;
    TDataMode FMode = TDataMode::dtmAdd;
    int32_t FUID = 0;
    QLineEdit *FFilename;
    QComboBox *FChains;
    QLabel *FWarning;
    QSpinBox *FNoOfProxy;
    std::vector<std::unique_ptr<TChainedProxyData>> FChainRecords;
};
