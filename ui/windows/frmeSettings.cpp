#include "ui/windows/frmeSettings.h"

#include "store/dmProxyData.h"
#include "ui/logic/SettingsLogic.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/NumberField.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <exception>

namespace {

QLabel *Label(const QString &text, QWidget *parent, int x, int y) {
    auto *label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

} // namespace

TfrmeSettings::TfrmeSettings(TdmProxyData &store, QWidget *parent)
    : QFrame(parent), FStore(store),
      FLocalOnly(new QCheckBox(QStringLiteral("Enable connections only from localhost (127.0.0.1)"),
                               this)),
      FTimeOut(new TNumberField(this)), FSessionsTimeOut(new TNumberField(this)),
      FLogToFile(new QCheckBox(QStringLiteral("&Log the activity to a file"), this)),
      FLogFile(new QLineEdit(this)),
      FAskOnClose(new QPushButton(QStringLiteral("Ask A&gain Before Closing"), this)) {
    setObjectName(QStringLiteral("frmeSettings"));
    setMinimumSize(434, 268);

    FLocalOnly->setObjectName(QStringLiteral("chkLocalHostOnly"));
    FLocalOnly->move(40, 32);
    FLocalOnly->setMinimumWidth(TFormParts::Scaled(FLocalOnly, 281));
    FLocalOnly->adjustSize();

    Label(QStringLiteral("Time-Out:"), this, 40, 72);
    FTimeOut->setObjectName(QStringLiteral("edTimeOut"));
    FTimeOut->move(184, 69);
    FTimeOut->adjustSize();
    QLabel *seconds = Label(QStringLiteral("Seconds"), this, 184 + FTimeOut->width() + 8, 72);
    // Proxy checks and hops wait 10 s when the time-out is 0.
    QLabel *zero = Label(QStringLiteral("(0: 10 s for checks)"), this,
                         seconds->x() + seconds->width() + 8, 72);
    zero->setObjectName(QStringLiteral("lblTimeOutZero"));

    Label(QStringLiteral("Sessions time out after:"), this, 40, 112);
    FSessionsTimeOut->setObjectName(QStringLiteral("edSessionsTimeOut"));
    FSessionsTimeOut->move(184, 109);
    FSessionsTimeOut->adjustSize();
    Label(QStringLiteral("Seconds of inactivity"), this, 184 + FSessionsTimeOut->width() + 8, 112);

    FLogToFile->setObjectName(QStringLiteral("chkLogToFile"));
    FLogToFile->move(40, 152);
    FLogToFile->adjustSize();
    FLogFile->setObjectName(QStringLiteral("edtLogFile"));
    FLogFile->setGeometry(58, 178, 360, FLogFile->sizeHint().height());

    FAskOnClose->setObjectName(QStringLiteral("btnAskOnClose"));
    FAskOnClose->setToolTip(
        QStringLiteral("Closing the window with open connections asks again what to do"));
    FAskOnClose->move(40, 216);
    FAskOnClose->adjustSize();
    connect(FAskOnClose, &QPushButton::clicked, this, [this] {
        TWindowSettings().Settings().remove(QLatin1String(TWindowSettings::CloseAnswer));
        FAskOnClose->setEnabled(false);
    });

    setTabOrder(FLocalOnly, FTimeOut);
    setTabOrder(FTimeOut, FSessionsTimeOut);
    setTabOrder(FSessionsTimeOut, FLogToFile);
    setTabOrder(FLogToFile, FLogFile);
    setTabOrder(FLogFile, FAskOnClose);
    connect(FLogToFile, &QCheckBox::toggled, this, [this] { StoreLogFile(); });
    connect(FLogFile, &QLineEdit::editingFinished, this, [this] { StoreLogFile(); });

    connect(FLocalOnly, &QCheckBox::toggled, this, [this](bool on) {
        if (FLoading)
            return;
        try {
            FStore.SetAllowLocalHostOnly(on);
        } catch (const std::exception &e) {
            if (FOnError)
                FOnError(QString::fromUtf8(e.what()));
        }
        // What the store holds now, saved or not, is what the next start reads.
        if (FOnLocalOnlyChanged)
            FOnLocalOnlyChanged(FStore.AllowLocalHostOnly());
    });
    for (TNumberField *field : {FTimeOut, FSessionsTimeOut}) {
        field->FOnChange = [this, field](const QString &text) { NumberChanged(field, text); };
        field->FOnExit = [this, field] { NumberExit(field); };
    }
}

void TfrmeSettings::Load() {
    // The controls show the stored values; nothing needs storing again.
    FLoading = true;
    FLocalOnly->setChecked(FStore.AllowLocalHostOnly());
    FTimeOut->SetText(QString::number(FStore.Timeout()));
    FSessionsTimeOut->SetText(QString::number(FStore.SessionsTimeout()));
    const TWindowSettings settings;
    FLogToFile->setChecked(settings.Value(TWindowSettings::LogToFile, false).toBool());
    FLogFile->setText(settings.LogFilePath());
    FAskOnClose->setEnabled(!settings.Value(TWindowSettings::CloseAnswer).toString().isEmpty());
    FLoading = false;
}

void TfrmeSettings::NumberChanged(TNumberField *field, const QString &text) {
    if (FLoading)
        return;
    try {
        if (const auto value = TSettingsLogic::ValueToStore(text))
            Store(field, *value);
    } catch (const std::exception &e) {
        if (FOnError)
            FOnError(QString::fromUtf8(e.what()));
    }
}

void TfrmeSettings::NumberExit(TNumberField *field) {
    if (const auto value = TSettingsLogic::ClampOnExit(field->Text()))
        field->SetText(QString::number(*value)); // stored through the change rule
}

void TfrmeSettings::Store(TNumberField *field, int32_t value) {
    if (field == FTimeOut)
        FStore.SetTimeout(value);
    else
        FStore.SetSessionsTimeout(value);
}

void TfrmeSettings::StoreLogFile() {
    if (FLoading)
        return;
    TWindowSettings settings;
    const QString path = FLogFile->text().trimmed();
    if (settings.Value(TWindowSettings::LogToFile, false).toBool() == FLogToFile->isChecked() &&
        settings.LogFilePath() == path)
        return; // nothing changed (the field was only left)
    settings.SetValue(TWindowSettings::LogToFile, FLogToFile->isChecked());
    settings.SetValue(TWindowSettings::LogFile, path);
    settings.Settings().sync();
    if (FOnLogFileChanged)
        FOnLogFileChanged(settings.ActivityLogFile());
}
