#include "ui/windows/frmAnonymizedProgram.h"

#include "platform/Error.h"
#include "store/dmProxyData.h"
#include "ui/logic/TextContrast.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/FormParts.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

TfrmAnonymizedProgram::TfrmAnonymizedProgram(TdmProxyData &store, TUiPrompts &prompts,
                                             QWidget *parent)
    : QDialog(parent), FStore(store), FPrompts(prompts), FFilename(new QLineEdit(this)),
      FChains(new QComboBox(this)),
      FWarning(new QLabel(
          QStringLiteral(
              "This program will not be anonymized as there's no working proxy available"),
          this)),
      FNoOfProxy(new QSpinBox(this)) {
    TFormParts::FixedDialog(this, QStringLiteral("frmAnonymizedProgram"),
                            QStringLiteral("Anonymized Program"), {420, 190});

    FFilename->setObjectName(QStringLiteral("edFilename"));
    FChains->setObjectName(QStringLiteral("cmbChainList"));
    FChains->setMinimumWidth(TFormParts::Scaled(FChains, 200));
    FWarning->setObjectName(QStringLiteral("lblWarning"));
    FWarning->setWordWrap(true);
    // Red, as light or as dark as the dialog's background needs.
    FWarning->setStyleSheet(
        QStringLiteral("color: %1;")
            .arg(TTextContrast::WarningOn(palette().color(QPalette::Window)).name()));
    FNoOfProxy->setRange(1, 10);
    FNoOfProxy->setVisible(false);

    auto *browse = new QPushButton(QStringLiteral("Browse..."), this);
    browse->setObjectName(QStringLiteral("btnBrowse"));
    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Program Filename:"), this), 0, 0);
    grid->addWidget(FFilename, 0, 1);
    grid->addWidget(browse, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Chain:"), this), 1, 0);
    grid->addWidget(FChains, 1, 1, Qt::AlignLeft);
    grid->addWidget(FWarning, 2, 0, 1, 3);

    const TFormParts::TOkCancel buttons = TFormParts::OkCancel(this, true);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch(1);
    layout->addLayout(buttons.Row);

    FOnBrowse = [this] {
        // Programs here have no extension of their own: every file is offered.
        return QFileDialog::getOpenFileName(this, QStringLiteral("Program"), QString(),
                                            QStringLiteral("Program (*)"));
    };
    connect(browse, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(buttons.Ok, &QPushButton::clicked, this,
            [this] { TFormParts::Guard(FPrompts, [this] { Button1Click(); }); });
}

int TfrmAnonymizedProgram::NoOfProxy() const {
    return FNoOfProxy->value();
}

void TfrmAnonymizedProgram::LoadChainList() {
    FChains->clear();
    FChainRecords.clear();
    for (const TStoredChain &stored : FStore.Chains()) {
        auto record = std::make_unique<TChainedProxyData>(FStore.GetChain(stored.UID));
        FChains->addItem(record->FDesc);
        FChainRecords.push_back(std::move(record));
    }
    if (FChains->count() > 0)
        FChains->setCurrentIndex(0);
}

void TfrmAnonymizedProgram::SelectChain(int32_t AChainUID) {
    for (size_t i = 0; i < FChainRecords.size(); ++i) {
        if (FChainRecords[i]->FUID == AChainUID) {
            FChains->setCurrentIndex(static_cast<int>(i));
            return;
        }
    }
}

void TfrmAnonymizedProgram::Add() {
    FWarning->setVisible(false);
    FMode = TDataMode::dtmAdd;
    FFilename->clear();
    FFilename->setReadOnly(false);
    FNoOfProxy->setValue(2);
    LoadChainList();
}

void TfrmAnonymizedProgram::Edit(int32_t AUID) {
    FMode = TDataMode::dtmEdit;
    LoadChainList();
    const std::optional<TAnonymProgram> program = FStore.FindAnonym(AUID);
    if (!program)
        throw EVelmoraError("unknown anonumized application");
    FUID = AUID;
    SelectChain(program->ChainUID.value_or(0));
    FFilename->setText(program->Filename);
    FFilename->setReadOnly(true);
    FWarning->setVisible(program->ChainPort == 0);
    FNoOfProxy->setValue(program->NoOfProxy.value_or(0));
}

void TfrmAnonymizedProgram::Button1Click() {
    if (FFilename->text().isEmpty()) {
        FPrompts.ShowMessage(QStringLiteral("Program filename is required"));
        return;
    }
    TAnonymProgram program{.UID = FMode == TDataMode::dtmAdd ? 0 : FUID,
                           .Filename = FFilename->text(),
                           .NoOfProxy = FNoOfProxy->value()};
    const int index = FChains->currentIndex();
    if (!FChainRecords.empty() && index >= 0) {
        const TChainedProxyData &chain = *FChainRecords[static_cast<size_t>(index)];
        program.ChainUID = chain.FUID;
        program.ChainPort = chain.FPort;
    }
    if (FStore.PutAnonym(program) == 0)
        throw EVelmoraError("unknown anonumized application");
    FStore.SaveData();
    FStore.AnonymSaveData();
    accept();
}

void TfrmAnonymizedProgram::Button3Click() {
    const QString path = FOnBrowse ? FOnBrowse() : QString();
    if (!path.isEmpty())
        FFilename->setText(QFileInfo(path).fileName());
}
