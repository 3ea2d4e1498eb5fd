#include "ui/windows/frmProxyRecord.h"

#include "check/BulkIntake.h"
#include "check/NamResolveThd.h"
#include "platform/Error.h"
#include "store/dmProxyData.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/FormParts.h"

#include <QApplication>
#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace {

const int32_t ChoiceTypes[] = {3, 1, 4, 0}; // SOCKS 5, SOCKS 4, HTTP, Auto Detect

} // namespace

TfrmProxyRecord::TfrmProxyRecord(TdmProxyData &store, TUiPrompts &prompts, QWidget *parent)
    : QDialog(parent), FStore(store), FPrompts(prompts), FIPAddress(new QLineEdit(this)),
      FHostName(new QLineEdit(this)), FPort(new QLineEdit(this)), FStatus(new QLineEdit(this)),
      FChoices(new QButtonGroup(this)),
      FResolve(new QPushButton(QStringLiteral("Resolve to Host Name"), this)) {
    TFormParts::FixedDialog(this, QStringLiteral("frmProxyRecord"), QStringLiteral("Proxy Detail"),
                            {445, 365});

    SetUpFields();
    QGroupBox *types = BuildTypes();
    QGridLayout *grid = BuildFieldGrid(types);
    const TFormParts::TOkCancel buttons = TFormParts::OkCancel(this, true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->addLayout(grid);
    layout->addStretch(1);
    layout->addLayout(buttons.Row);
    SetTabOrder(buttons);

    connect(buttons.Ok, &QPushButton::clicked, this,
            [this] { TFormParts::Guard(FPrompts, [this] { OkClick(); }); });
    connect(FResolve, &QPushButton::clicked, this, [this] { ResolveClick(); });
}

void TfrmProxyRecord::SetUpFields() {
    FIPAddress->setObjectName(QStringLiteral("edIPAddress"));
    FIPAddress->setFixedWidth(TFormParts::Scaled(FIPAddress, 165));
    FHostName->setObjectName(QStringLiteral("edHostName"));
    FHostName->setFixedWidth(TFormParts::Scaled(FHostName, 165));
    FPort->setObjectName(QStringLiteral("edPort"));
    FPort->setFixedWidth(TFormParts::Scaled(FPort, 81));
    FPort->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9+-]*")), FPort));
    FPort->installEventFilter(this);
    FStatus->setObjectName(QStringLiteral("edStatus"));
    FStatus->setFixedWidth(TFormParts::Scaled(FStatus, 121));
    FStatus->setReadOnly(true);
    FResolve->setObjectName(QStringLiteral("btnResolve"));
}

QGroupBox *TfrmProxyRecord::BuildTypes() {
    auto *types = new QGroupBox(QStringLiteral("Host Type:"), this);
    auto *typeGrid = new QGridLayout(types);
    const char *captions[] = {"SOCKS 5", "SOCKS 4", "HTTP", "Auto Detect"};
    for (int i = 0; i < 4; ++i) {
        auto *button = new QRadioButton(QString::fromLatin1(captions[i]), types);
        FChoices->addButton(button, i);
        typeGrid->addWidget(button, i % 2, i / 2); // two columns
    }
    return types;
}

QGridLayout *TfrmProxyRecord::BuildFieldGrid(QGroupBox *types) {
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(10);
    grid->addWidget(new QLabel(QStringLiteral("IP Address:"), this), 0, 0);
    grid->addWidget(FIPAddress, 0, 1);
    grid->addWidget(FResolve, 0, 2, Qt::AlignLeft);
    grid->addWidget(new QLabel(QStringLiteral("Host:"), this), 1, 0);
    grid->addWidget(FHostName, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Port:"), this), 2, 0);
    grid->addWidget(FPort, 2, 1, Qt::AlignLeft);
    grid->addWidget(types, 3, 0, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Status:"), this), 4, 0);
    grid->addWidget(FStatus, 4, 1, Qt::AlignLeft);
    grid->setColumnStretch(2, 1);
    return grid;
}

void TfrmProxyRecord::SetTabOrder(const TFormParts::TOkCancel &buttons) {
    setTabOrder(FIPAddress, FHostName);
    setTabOrder(FHostName, FPort);
    setTabOrder(FPort, FStatus);
    setTabOrder(FStatus, buttons.Ok);
    setTabOrder(buttons.Ok, buttons.Cancel);
    setTabOrder(buttons.Cancel, FChoices->button(0));
    setTabOrder(FChoices->button(0), FResolve);
}

int32_t TfrmProxyRecord::TypeOfChoice(int choice) {
    return choice >= 0 && choice < 4 ? ChoiceTypes[choice] : 0;
}

std::optional<int> TfrmProxyRecord::ChoiceOfType(int32_t hostType) {
    for (int i = 0; i < 4; ++i)
        if (ChoiceTypes[i] == hostType)
            return i;
    return std::nullopt;
}

QRadioButton *TfrmProxyRecord::Choice(int choice) const {
    return static_cast<QRadioButton *>(FChoices->button(choice));
}

int TfrmProxyRecord::CheckedChoice() const {
    return FChoices->checkedId();
}

void TfrmProxyRecord::SetChoice(std::optional<int> choice) {
    FChoices->setExclusive(false);
    for (QAbstractButton *button : FChoices->buttons())
        button->setChecked(false);
    FChoices->setExclusive(true);
    if (choice)
        FChoices->button(*choice)->setChecked(true);
}

void TfrmProxyRecord::Add() {
    ++FLookupGeneration;
    FAdding = true;
    FUID = 0;
    FStoredType = 0;
    FIPAddress->clear();
    FHostName->clear();
    FPort->clear();
    FStatus->setText(ProxyStatusText(0));
    SetChoice(chAutoDetect);
    FIPAddress->setFocus();
}

bool TfrmProxyRecord::Edit(int32_t AUID) {
    ++FLookupGeneration;
    const std::optional<TProxData> found = FStore.FindProxy(AUID);
    if (!found)
        return false;
    const TProxData &record = *found;
    FAdding = false;
    FUID = AUID;
    FStoredType = static_cast<int32_t>(record.FProxyType);
    FIPAddress->setText(record.FIPAddress);
    FHostName->setText(record.FHostName);
    FPort->setText(QString::number(record.FPort));
    FStatus->setText(ProxyStatusText(static_cast<int>(record.FStatus)));
    SetChoice(ChoiceOfType(FStoredType));
    FIPAddress->setFocus();
    return true;
}

int32_t TfrmProxyRecord::ReadPort() const {
    const auto port = TBulkIntake::StrToInt(FPort->text());
    if (!port)
        throw EVelmoraError(QStringLiteral("'%1' is not a valid integer value for field '%2'")
                                .arg(FPort->text(), QStringLiteral("Port")));
    return *port;
}

void TfrmProxyRecord::OkClick() {
    if (FPort->text().isEmpty() || FIPAddress->text().isEmpty()) {
        FPrompts.ShowMessage(QStringLiteral("IP address and Port are required"));
        return;
    }
    const int32_t port = ReadPort();
    const int choice = CheckedChoice();
    const int32_t type = choice >= 0 ? TypeOfChoice(choice) : FStoredType;

    const TProxyChange change{FAdding ? 0 : FUID, FIPAddress->text(), FHostName->text(), port,
                              type};
    if (FStore.PutProxy(change) == 0)
        throw EVelmoraError("error proxy record");
    FStore.SaveData();
    accept();
}

void TfrmProxyRecord::ResolveClick() {
    const QString address = FIPAddress->text();
    if (address.isEmpty()) {
        FPrompts.ShowMessage(QStringLiteral("IP address must be specified"));
        return;
    }
    TProxData lookup;
    lookup.FHostName = address;
    lookup.FIPAddress = address;
    lookup.FCurrHostNameType = hntIPAddress;
    auto *task = new TNamResolveThd;
    task->SetProxData(lookup);
    QPointer<TfrmProxyRecord> self(this);
    const uint64_t generation = FLookupGeneration;
    ++FPendingLookups;
    task->OnTaskComplete = [self, generation](TNamResolveThd *, int32_t,
                                              std::unique_ptr<TProxData> result) {
        if (!self)
            return;
        --self->FPendingLookups;
        // A look-up that ends after its use of the dialog is over is dropped.
        if (self->FLookupGeneration == generation && self->isVisible() && result)
            self->FHostName->setText(result->FHostName);
    };
    task->Start();
}

bool TfrmProxyRecord::eventFilter(QObject *watched, QEvent *event) {
    if (watched == FPort) {
        if (event->type() == QEvent::KeyPress) {
            auto *key = static_cast<QKeyEvent *>(event);
            const QString text = key->text();
            const bool printable = !text.isEmpty() && text.at(0).isPrint() &&
                                   !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
            if (printable &&
                !QRegularExpression(QStringLiteral("^[0-9+-]+$")).match(text).hasMatch()) {
                QApplication::beep();
                return true;
            }
        } else if (event->type() == QEvent::FocusOut && !FPort->text().isEmpty() &&
                   !TBulkIntake::StrToInt(FPort->text())) {
            FPrompts.ShowError(QStringLiteral("'%1' is not a valid integer value for field '%2'")
                                   .arg(FPort->text(), QStringLiteral("Port")));
        }
    }
    return QDialog::eventFilter(watched, event);
}
