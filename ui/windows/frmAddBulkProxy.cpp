#include "ui/windows/frmAddBulkProxy.h"

#include "check/BulkIntake.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/FormParts.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <exception>

TfrmAddBulkProxy::TfrmAddBulkProxy(TdmProxyData &store, TUiPrompts &prompts, QWidget *parent)
    : QDialog(parent), FStore(store), FPrompts(prompts), FText(new QPlainTextEdit(this)) {
    TFormParts::FixedDialog(this, QStringLiteral("frmAddBulkProxy"),
                            QStringLiteral("Add Bulk Proxy"), {457, 367});
    FText->setObjectName(QStringLiteral("mmProxies"));
    FText->setFixedSize(TFormParts::Scaled(FText, QSize(451, 307)));
    FText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FText->setLineWrapMode(QPlainTextEdit::NoWrap);
    FText->setPlaceholderText(QStringLiteral("192.0.2.10:1080\n198.51.100.7:3128"));

    const TFormParts::TOkCancel buttons = TFormParts::OkCancel(this, false);
    connect(buttons.Ok, &QPushButton::clicked, this, [this] { OkClick(); });
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 8);
    layout->addWidget(FText);
    layout->addStretch(1);
    layout->addLayout(buttons.Row);
}

void TfrmAddBulkProxy::OkClick() {
    TIntakeResult result;
    try {
        result = TBulkIntake::Apply(FStore, FText->toPlainText());
    } catch (const std::exception &e) {
        FPrompts.ShowError(QString::fromUtf8(e.what()));
        return;
    }
    FAdded = result.Added;
    FDuplicates = result.Duplicates();
    if (result.Duplicates() > 0)
        FPrompts.ShowMessage(QStringLiteral("Added %1 %2. %3")
                                 .arg(result.Added)
                                 .arg(result.Added == 1 ? "proxy" : "proxies")
                                 .arg(result.DuplicatesText()));
    accept();
}
