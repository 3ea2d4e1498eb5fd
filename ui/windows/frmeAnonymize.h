#pragma once
// The Anonymize Program page: the anonymized programs in table order
// ("Application", "No. Of Proxies"), with "Add", "Edit", "Delete" below and
// the same in a pop-up menu with "Select All". Each entry remembers its
// row's UID. After every confirmed add or edit and after each deletion the
// list is handed to the redirector (FOnHandOff).

#include <QFrame>
#include <functional>

class QAction;
class QTreeWidget;
class TdmProxyData;
class TUiPrompts;

class TfrmeAnonymize : public QFrame {
public:
    enum TColumn { colApplication = 0, colNoOfProxies, ColumnCount };

    TfrmeAnonymize(TdmProxyData &store, QWidget *parent = nullptr);

    // Refills the list from the table.
    void Load();
    void RefreshList();
    // The entries' UIDs, top to bottom; the selected ones.
    std::vector<int32_t> SelectedUIDs() const;

    void actAddExecute();
    void actEditExecute();
    // Deletes every selected entry, saving and handing off after each one;
    // "error Anonymized program data not found" when an entry's row is gone.
    void actDeleteExecute();
    // Re-evaluates "Edit" and "Delete" (at least one entry selected).
    void UpdateActions();

    QTreeWidget *lvPrograms() const { return FList; }
    QAction *actAdd() const { return FAdd; }
    QAction *actEdit() const { return FEdit; }
    QAction *actDelete() const { return FDelete; }
    QAction *actSelectAll() const { return FSelectAll; }

    // The program dialog: add, or edit the entry with this UID; true on OK.
    std::function<bool()> FOnAddProgram;
    std::function<bool(int32_t AUID)> FOnEditProgram;
    // The hand-off to the redirector.
    std::function<void()> FOnHandOff;
    // A failure of a command, shown to the user.
    std::function<void(const QString &)> FOnError;

private:
    void Guard(const std::function<void()> &command);

    TdmProxyData &FStore;
    QTreeWidget *FList;
    QAction *FAdd;
    QAction *FEdit;
    QAction *FDelete;
    QAction *FSelectAll;
};
