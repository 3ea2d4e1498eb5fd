#include "ui/logic/MainScreenLogic.h"

const QString TMainScreenLogic::ApplicationTitle = QStringLiteral("Velmora Anonymizer");
const QString TMainScreenLogic::CaptionBase = QStringLiteral("Velmora Anonymizer by Corvanet");
// The build's version, the same number --version and the package carry.
const QString TMainScreenLogic::VersionText = QStringLiteral(VELMORA_VERSION);
const QString TMainScreenLogic::MakerWebSite = QStringLiteral("readme.txt");
const QString TMainScreenLogic::HelpFile = QStringLiteral("readme.txt");

QString TMainScreenLogic::Caption(bool loaded) {
    return loaded ? CaptionBase + QStringLiteral(" v.") + VersionText : CaptionBase;
}

QString TMainScreenLogic::FileNotFoundText(const QString &name, const QStringList &folders) {
    QString text = QStringLiteral("Cannot find the file \"%1\". It was looked for in:").arg(name);
    for (const QString &folder : folders)
        text += QStringLiteral("\n") + folder;
    return text;
}

const QString TMainScreenLogic::NoDeadProxiesText =
    QStringLiteral("There are no dead proxies (status TIME OUT).");
const QString TMainScreenLogic::CheckRunningText =
    QStringLiteral("A check is running. Wait for its end or press \"Stop Checking\".");

QString TMainScreenLogic::CheckProgressText(int checked, int total, int ok) {
    return QStringLiteral("Checked %1 of %2 (%3 OK)").arg(checked).arg(total).arg(ok);
}

QString TMainScreenLogic::DeleteDeadQuestion(int count) {
    return count == 1
               ? QStringLiteral("Delete 1 dead proxy (status TIME OUT) and take it out of every "
                                "chain?")
               : QStringLiteral("Delete %1 dead proxies (status TIME OUT) and take them out of "
                                "every chain?")
                     .arg(count);
}
