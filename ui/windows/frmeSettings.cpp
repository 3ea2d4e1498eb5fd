#include "ui/windows/frmeSettings.h"

#include "platform/ServerSettings.h"
#include "store/dmProxyData.h"
#include "ui/logic/SettingsLogic.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/NumberField.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
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
      FLocalOnlyNote(new QLabel(TSettingsLogic::LocalOnlyNote(), this)),
      FMaxClients(new QSpinBox(this)), FTimeOut(new TNumberField(this)),
      FSessionsTimeOut(new TNumberField(this)),
      FLogToFile(new QCheckBox(QStringLiteral("&Log the activity to a file"), this)),
      FLogFile(new QLineEdit(this)),
      FAskOnClose(new QPushButton(QStringLiteral("Ask A&gain Before Closing"), this)) {
    setObjectName(QStringLiteral("frmeSettings"));
    PlaceRows();
    connect(FAskOnClose, &QPushButton::clicked, this, [this] {
        TWindowSettings().Settings().remove(QLatin1String(TWindowSettings::CloseAnswer));
        FAskOnClose->setEnabled(false);
    });

    setTabOrder(FLocalOnly, FTimeOut);
    setTabOrder(FTimeOut, FSessionsTimeOut);
    setTabOrder(FSessionsTimeOut, FMaxClients);
    setTabOrder(FMaxClients, FLogToFile);
    setTabOrder(FLogToFile, FLogFile);
    setTabOrder(FLogFile, FAskOnClose);
    connect(FLogToFile, &QCheckBox::toggled, this, [this] { StoreLogFile(); });
    connect(FLogFile, &QLineEdit::editingFinished, this, [this] { StoreLogFile(); });
    connect(FMaxClients, &QSpinBox::valueChanged, this, [this] { StoreMaxClients(); });

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

void TfrmeSettings::PlaceRows() {
    setMinimumSize(434, 348);
    FLocalOnly->setObjectName(QStringLiteral("chkLocalHostOnly"));
    FLocalOnly->move(40, 32);
    FLocalOnly->setMinimumWidth(TFormParts::Scaled(FLocalOnly, 281));
    FLocalOnly->adjustSize();
    // What unticking exposes, right under the tick.
    FLocalOnlyNote->setObjectName(QStringLiteral("lblLocalOnlyNote"));
    FLocalOnlyNote->setWordWrap(true);
    FLocalOnlyNote->setGeometry(58, 54, 360, FLocalOnlyNote->heightForWidth(360));

    Label(QStringLiteral("Time-Out:"), this, 40, 102);
    FTimeOut->setObjectName(QStringLiteral("edTimeOut"));
    FTimeOut->move(184, 99);
    FTimeOut->adjustSize();
    QLabel *seconds = Label(QStringLiteral("Seconds"), this, 184 + FTimeOut->width() + 8, 102);
    // Proxy checks and hops wait 10 s when the time-out is 0.
    QLabel *zero = Label(QStringLiteral("(0: 10 s for checks)"), this,
                         seconds->x() + seconds->width() + 8, 102);
    zero->setObjectName(QStringLiteral("lblTimeOutZero"));

    Label(QStringLiteral("Sessions time out after:"), this, 40, 142);
    FSessionsTimeOut->setObjectName(QStringLiteral("edSessionsTimeOut"));
    FSessionsTimeOut->move(184, 139);
    FSessionsTimeOut->adjustSize();
    Label(QStringLiteral("Seconds of inactivity"), this, 184 + FSessionsTimeOut->width() + 8, 142);

    Label(QStringLiteral("Clients served at once:"), this, 40, 182);
    FMaxClients->setObjectName(QStringLiteral("edMaxClients"));
    FMaxClients->setRange(TServerSettings::MinMaxClients, TServerSettings::MaxMaxClients);
    FMaxClients->move(184, 179);
    FMaxClients->adjustSize();
    Label(QStringLiteral("on each port (9999 and every chain's)"), this,
          184 + FMaxClients->width() + 8, 182);

    FLogToFile->setObjectName(QStringLiteral("chkLogToFile"));
    FLogToFile->move(40, 222);
    FLogToFile->adjustSize();
    FLogFile->setObjectName(QStringLiteral("edtLogFile"));
    FLogFile->setGeometry(58, 248, 360, FLogFile->sizeHint().height());

    FAskOnClose->setObjectName(QStringLiteral("btnAskOnClose"));
    FAskOnClose->setToolTip(
        QStringLiteral("Closing the window with open connections asks again what to do"));
    FAskOnClose->move(40, 286);
    FAskOnClose->adjustSize();
}

void TfrmeSettings::Load() {
    // The controls show the stored values; nothing needs storing again.
    FLoading = true;
    FLocalOnly->setChecked(FStore.AllowLocalHostOnly());
    FTimeOut->SetText(QString::number(FStore.Timeout()));
    FSessionsTimeOut->SetText(QString::number(FStore.SessionsTimeout()));
    FMaxClients->setValue(TServerSettings::MaxClients());
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

void TfrmeSettings::StoreMaxClients() {
    if (FLoading)
        return;
    const int value = FMaxClients->value();
    if (value == TServerSettings::MaxClients())
        return; // nothing changed (the field was only left)
    try {
        TServerSettings::SetMaxClients(value);
    } catch (const std::exception &e) {
        if (FOnError)
            FOnError(QString::fromUtf8(e.what()));
        return;
    }
    if (FOnMaxClientsChanged)
        FOnMaxClientsChanged(value);
}
