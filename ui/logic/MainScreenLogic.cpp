#include "ui/logic/MainScreenLogic.h"

const QString TMainScreenLogic::ApplicationTitle = QStringLiteral("Velmora Anonymizer");
const QString TMainScreenLogic::CaptionBase = QStringLiteral("Velmora Anonymizer by Corvanet");
const QString TMainScreenLogic::VersionText = QStringLiteral("1.0");
const QString TMainScreenLogic::MakerWebSite = QStringLiteral("https://velmora.example/");
const QString TMainScreenLogic::HelpFile = QStringLiteral("readme.txt");

QString TMainScreenLogic::Caption(bool loaded) {
    return loaded ? CaptionBase + QStringLiteral(" v.") + VersionText : CaptionBase;
}
