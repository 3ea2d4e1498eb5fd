#pragma once
// The proxy dialog "Proxy Detail": address, host name, port and type of one
// proxy, new or stored. The fields are written into the store's proxy row
// when "OK" is pressed, which then saves all tables; "Cancel" leaves the
// store as it was. "Resolve to Host Name" looks the address up on a worker
// thread and puts the name it finds (or, failing that, the address) into
// "Host:".

#include "ui/windows/FormParts.h"

#include <QDialog>
#include <cstdint>
#include <optional>

class QButtonGroup;
class QGridLayout;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class TUiPrompts;
class TdmProxyData;

class TfrmProxyRecord : public QDialog {
public:
    // The host type choices, in their places.
    enum TChoice { chSOCKS5 = 0, chSOCKS4 = 1, chHTTP = 2, chAutoDetect = 3 };

    TfrmProxyRecord(TdmProxyData &store, TUiPrompts &prompts, QWidget *parent = nullptr);

    // Prepare for a new proxy ("Auto Detect").
    void Add();
    // Prepare for the stored proxy AUID; false when there is none.
    bool Edit(int32_t AUID);

    void OkClick();
    void ResolveClick();

    // The stored type a choice writes, and the choice a stored type shows
    // (none for "SOCKS 4/5", which then stays as it is unless changed).
    static int32_t TypeOfChoice(int choice);
    static std::optional<int> ChoiceOfType(int32_t hostType);

    QLineEdit *edIPAddress() const { return FIPAddress; }
    QLineEdit *edHostName() const { return FHostName; }
    QLineEdit *edPort() const { return FPort; }
    QLineEdit *edStatus() const { return FStatus; }
    QRadioButton *Choice(int choice) const;
    int CheckedChoice() const; // -1 when none
    // Look-ups started and not yet answered.
    int PendingLookups() const { return FPendingLookups; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The groups of controls.
    void SetUpFields();                            // the line edits and "Resolve"
    QGroupBox *BuildTypes();                       // "Host Type:" and its choices
    QGridLayout *BuildFieldGrid(QGroupBox *types); // labels, fields and the types
    void SetTabOrder(const TFormParts::TOkCancel &buttons);
    void SetChoice(std::optional<int> choice);
    // The port text as a whole number; the field error otherwise.
    int32_t ReadPort() const;

    TdmProxyData &FStore;
    TUiPrompts &FPrompts;
    QLineEdit *FIPAddress;
    QLineEdit *FHostName;
    QLineEdit *FPort;
    QLineEdit *FStatus;
    QButtonGroup *FChoices;
    QPushButton *FResolve;
    bool FAdding = false;
    int32_t FUID = 0;
    int32_t FStoredType = 0;
    // Counts the dialog's uses (each Add or Edit starts a new one); a look-up
    // answers only when the generation it started in is still current.
    uint64_t FLookupGeneration = 0;
    int FPendingLookups = 0;
};
