#pragma once
// The bulk dialog "Add Bulk Proxy": a pasted list, one proxy a line
// ("address" or "address:port", optionally after "socks4://", "socks5://" or
// "http://"). "OK" adds them all and saves the tables, or, when a line's port
// is not a number or its scheme is none of those, says so and adds nothing.
// Lines naming a proxy already listed, or named before, are not added again;
// a message then says how many. The text stays between uses.

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
    int Duplicates() const { return FDuplicates; }

private:
    TdmProxyData &FStore;
    TUiPrompts &FPrompts;
    QPlainTextEdit *FText;
    int FAdded = 0;
    int FDuplicates = 0;
};
