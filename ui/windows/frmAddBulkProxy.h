#pragma once
// The bulk dialog "Add Bulk Proxy": a pasted list, one proxy a line
// ("address" or "address:port"). "OK" adds them all and saves the tables,
// or, when a line's port is not a number, says so and adds nothing. The
// text stays between uses.

#include <QDialog>

class QPlainTextEdit;
class TUiPrompts;
class TdmProxyData;

class TfrmAddBulkProxy : public QDialog {
public:
    TfrmAddBulkProxy(TdmProxyData &store, TUiPrompts &prompts, QWidget *parent = nullptr);

    void OkClick();
    QPlainTextEdit *mmProxies() const { return FText; }
    // Proxies added by the last "OK".
    int Added() const { return FAdded; }

private:
    TdmProxyData &FStore;
    TUiPrompts &FPrompts;
    QPlainTextEdit *FText;
    int FAdded = 0;
};
