#pragma once
// The Settings page: the local-only tick box (with a note of what unticking
// exposes) and the two time-outs of the settings table; then the clients
// each server serves at once (kept with TServerSettings, beside the
// window's settings). Every change is written to the store at once, which saves
// "settings.cds"; a number outside 0..200 is brought into range when its
// field is left. The tick box also holds at once for the servers that run
// (FOnLocalOnlyChanged). Below them, the window's own setting (kept with
// TWindowSettings, not in the store): "Log the activity to a file" and the
// file's path, and "Ask Again Before Closing", which forgets the answer to
// the close question that "Don't ask again" kept (on only while one is kept).

#include <QFrame>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QPushButton;
class TNumberField;
class TdmProxyData;

class TfrmeSettings : public QFrame {
public:
    explicit TfrmeSettings(TdmProxyData &store, QWidget *parent = nullptr);

    // Shows the settings table's values (called each time the page is shown).
    void Load();

    QCheckBox *chkLocalHostOnly() const { return FLocalOnly; }
    TNumberField *edTimeOut() const { return FTimeOut; }
    TNumberField *edSessionsTimeOut() const { return FSessionsTimeOut; }
    QCheckBox *chkLogToFile() const { return FLogToFile; }
    QLineEdit *edtLogFile() const { return FLogFile; }
    QPushButton *btnAskOnClose() const { return FAskOnClose; }
    QLabel *lblLocalOnlyNote() const { return FLocalOnlyNote; }
    QSpinBox *edMaxClients() const { return FMaxClients; }

    // A text that is not a whole number ("'-' is not a valid integer value").
    std::function<void(const QString &)> FOnError;
    // The local-only tick box changed and was stored: the running servers
    // take the rule at once.
    std::function<void(bool localOnly)> FOnLocalOnlyChanged;
    // The clients served at once changed and were stored: the running
    // servers take the number at once.
    std::function<void(int maxClients)> FOnMaxClientsChanged;
    // The activity log's file changed (stored already): the path, or empty
    // when logging is off.
    std::function<void(const QString &path)> FOnLogFileChanged;

private:
    void NumberChanged(TNumberField *field, const QString &text);
    void NumberExit(TNumberField *field);
    void Store(TNumberField *field, int32_t value);
    void StoreLogFile();
    void StoreMaxClients();
    void PlaceRows();

    TdmProxyData &FStore;
    QCheckBox *FLocalOnly;
    QLabel *FLocalOnlyNote;
    QSpinBox *FMaxClients;
    TNumberField *FTimeOut;
    TNumberField *FSessionsTimeOut;
    QCheckBox *FLogToFile;
    QLineEdit *FLogFile;
    QPushButton *FAskOnClose;
    bool FLoading = false;
};
