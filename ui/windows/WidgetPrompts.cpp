#include "ui/windows/WidgetPrompts.h"

#include "ui/logic/MainScreenLogic.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

namespace {

void OpenBox(QWidget *parent, QMessageBox::Icon icon, const QString &text) {
    auto *box =
        new QMessageBox(icon, TMainScreenLogic::ApplicationTitle, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (parent && parent->isVisible())
        box->open(); // window-modal over the main window
    else
        box->show();
}

} // namespace

// Over the dialog that is open, if any, else over the main window.
QWidget *TWidgetPrompts::Owner() const {
    if (QWidget *modal = QApplication::activeModalWidget())
        return modal;
    return FParent;
}

void TWidgetPrompts::ShowMessage(const QString &text) {
    OpenBox(Owner(), QMessageBox::Information, text);
}

void TWidgetPrompts::ShowError(const QString &text) {
    OpenBox(Owner(), QMessageBox::Critical, text);
}

bool TWidgetPrompts::AskYesNo(const QString &text) {
    return QMessageBox::question(Owner(), TMainScreenLogic::ApplicationTitle, text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void TWidgetPrompts::OpenUrl(const QUrl &url) {
    QDesktopServices::openUrl(url);
}

QString TWidgetPrompts::AskSaveFileName(const QString &caption, const QString &suggested) {
    return QFileDialog::getSaveFileName(Owner(), caption, suggested);
}
