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
    std::vector<int32_t> uids;
    TDataTable &table = FStore.cdsChainedProxies();
    const int uidField = table.FieldIndex(QStringLiteral("UID"));
    for (const TDataTable::TRow *row : table.AllRows()) {
        const TFieldValue uid = table.RowValue(*row, uidField);
        if (const auto *v = std::get_if<int64_t>(&uid))
            uids.push_back(static_cast<int32_t>(*v));
    }
    for (int32_t uid : uids) {
        auto record = std::make_unique<TChainedProxyData>();
        FStore.GetChainedProxyRecord(uid, *record);
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
    if (!FStore.LocateAnonymRec(AUID))
        throw EVelmoraError("unknown anonumized application");
    FUID = AUID;
    TDataTable &t = FStore.cdsAnonymizedList();
    SelectChain(t.FieldByName(QStringLiteral("ChainUID")).AsInteger());
    FFilename->setText(t.FieldByName(QStringLiteral("Filename")).AsString());
    FFilename->setReadOnly(true);
    FWarning->setVisible(t.FieldByName(QStringLiteral("ChainPort")).AsInteger() == 0);
    FNoOfProxy->setValue(t.FieldByName(QStringLiteral("NoOfProxy")).AsInteger());
}

void TfrmAnonymizedProgram::Button1Click() {
    if (FFilename->text().isEmpty()) {
        FPrompts.ShowMessage(QStringLiteral("Program filename is required"));
        return;
    }
    TDataTable &t = FStore.cdsAnonymizedList();
    if (FMode == TDataMode::dtmAdd) {
        t.Append();
    } else {
        if (!FStore.LocateAnonymRec(FUID))
            throw EVelmoraError("unknown anonumized application");
        t.Edit();
    }
    try {
        t.FieldByName(QStringLiteral("Filename")).SetAsString(FFilename->text());
        t.FieldByName(QStringLiteral("NoOfProxy")).SetAsInteger(FNoOfProxy->value());
        const int index = FChains->currentIndex();
        if (FChainRecords.empty() || index < 0) {
            t.FieldByName(QStringLiteral("ChainPort")).SetAsInteger(0);
        } else {
            const TChainedProxyData &chain = *FChainRecords[static_cast<size_t>(index)];
            t.FieldByName(QStringLiteral("ChainUID")).SetAsInteger(chain.FUID);
            t.FieldByName(QStringLiteral("ChainPort")).SetAsInteger(chain.FPort);
        }
        t.Post();
    } catch (...) {
        t.Cancel();
        throw;
    }
    FStore.SaveData();
    FStore.AnonymSaveData();
    accept();
}

void TfrmAnonymizedProgram::Button3Click() {
    const QString path = FOnBrowse ? FOnBrowse() : QString();
    if (!path.isEmpty())
        FFilename->setText(QFileInfo(path).fileName());
}
