#pragma once
// The prompts of the running program: message boxes over the main window and
// the desktop's default handlers. Information and error boxes do not block
// the caller (they are window-modal and close themselves); questions do.

#include "ui/logic/UiPrompts.h"

#include <QPointer>
#include <QWidget>

class TWidgetPrompts : public TUiPrompts {
public:
    void SetParent(QWidget *parent) { FParent = parent; }

    void ShowMessage(const QString &text) override;
    void ShowError(const QString &text) override;
    bool AskYesNo(const QString &text) override;
    void OpenUrl(const QUrl &url) override;
    QString AskSaveFileName(const QString &caption, const QString &suggested) override;
    TCloseAnswer AskClose(int openConnections, bool trayAvailable) override;

private:
    QWidget *Owner() const;

    QPointer<QWidget> FParent;
};
