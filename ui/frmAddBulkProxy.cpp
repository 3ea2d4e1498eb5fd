#include "ui/frmAddBulkProxy.h"

#include "check/BulkIntake.h"
#include "ui/UiPrompts.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <exception>

TfrmAddBulkProxy::TfrmAddBulkProxy(TdmProxyData &store, TUiPrompts &prompts, QWidget *parent)
    : QDialog(parent), FStore(store), FPrompts(prompts), FText(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("frmAddBulkProxy"));
    setWindowTitle(QStringLiteral("Add Bulk Proxy"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(457, 367);
    setModal(true);
    FText->setObjectName(QStringLiteral("mmProxies"));
    FText->setFixedSize(451, 307);
    FText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FText->setLineWrapMode(QPlainTextEdit::NoWrap);
    FText->setPlaceholderText(QStringLiteral("192.0.2.10:1080\n198.51.100.7:3128"));

    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("btnOK"));
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("btnCancel"));
    connect(ok, &QPushButton::clicked, this, [this] { OkClick(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(ok);
    bottom->addWidget(cancel);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 8);
    layout->addWidget(FText);
    layout->addStretch(1);
    layout->addLayout(bottom);
}

void TfrmAddBulkProxy::OkClick() {
    try {
        FAdded = TBulkIntake::Apply(FStore, FText->toPlainText());
    } catch (const std::exception &e) {
        FPrompts.ShowError(QString::fromUtf8(e.what()));
        return;
    }
    accept();
}
