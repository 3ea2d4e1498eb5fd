#include "ui/windows/WidgetPrompts.h"

#include "ui/logic/MainScreenLogic.h"
#include "ui/logic/TrayLogic.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

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

TCloseAnswer TWidgetPrompts::AskClose(int openConnections, bool trayAvailable) {
    QMessageBox box(QMessageBox::Question, TMainScreenLogic::ApplicationTitle,
                    TCloseLogic::QuestionText(openConnections, trayAvailable),
                    QMessageBox::NoButton, Owner());
    QPushButton *keep = nullptr;
    if (trayAvailable) {
        keep = box.addButton(QStringLiteral("Keep Running in &Tray"), QMessageBox::AcceptRole);
        box.setCheckBox(new QCheckBox(QStringLiteral("&Don't ask again"), &box));
    }
    QPushButton *quit = box.addButton(QStringLiteral("&Quit"), QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(keep ? keep : cancel);
    box.setEscapeButton(cancel);
    box.exec();

    TCloseAnswer answer;
    if (keep && box.clickedButton() == keep)
        answer.Choice = TCloseChoice::Keep;
    else if (box.clickedButton() == quit)
        answer.Choice = TCloseChoice::Quit;
    answer.DontAskAgain = box.checkBox() && box.checkBox()->isChecked();
    return answer;
}
