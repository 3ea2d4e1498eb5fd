#include "ui/logic/MainScreenLogic.h"

const QString TMainScreenLogic::ApplicationTitle = QStringLiteral("Velmora Anonymizer");
const QString TMainScreenLogic::CaptionBase = QStringLiteral("Velmora Anonymizer by Corvanet");
const QString TMainScreenLogic::VersionText = QStringLiteral("1.0");
const QString TMainScreenLogic::MakerWebSite = QStringLiteral("https://velmora.example/");
const QString TMainScreenLogic::HelpFile = QStringLiteral("readme.txt");

QString TMainScreenLogic::Caption(bool loaded) {
    return loaded ? CaptionBase + QStringLiteral(" v.") + VersionText : CaptionBase;
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
