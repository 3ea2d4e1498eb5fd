#include "ui/logic/ProgramMenuEntry.h"

#include "platform/Error.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString FileNameOf(const QString &program) {
    return program.section(u'/', -1);
}

} // namespace

QString TProgramMenuEntry::FileName(const QString &program) {
    QString name = TDesktopEntry::SafeName(FileNameOf(program));
    if (name.isEmpty())
        name = QStringLiteral("program");
    return QStringLiteral("velmora-%1.desktop").arg(name);
}

QString TProgramMenuEntry::Path(const QString &program) {
    return QDir(TDesktopEntry::UserApplicationFolder()).filePath(FileName(program));
}

TDesktopEntry TProgramMenuEntry::Compose(const TAnonymProgram &program,
                                         const TProgramChains &chains, const QString &velmoraPath,
                                         const QString &icon) {
    const TProgramChainView view = chains.View(program);
    if (view.Marked())
        throw EVelmoraError(chains.Refusal(program, QStringLiteral("added to the menu")));
    const TChainRef &chain = *view.Chain;
    const QString name = FileNameOf(program.Filename);
    const QString chainName =
        chain.Name.trimmed().isEmpty() ? QStringLiteral("on port %1").arg(chain.Port) : chain.Name;
    TDesktopEntry entry;
    entry.SetValue(QStringLiteral("Type"), QStringLiteral("Application"));
    entry.SetValue(QStringLiteral("Version"), QStringLiteral("1.4"));
    entry.SetValue(QStringLiteral("Name"),
                   QStringLiteral("%1 (through Velmora chain %2)").arg(name, chainName));
    entry.SetValue(QStringLiteral("Comment"),
                   QStringLiteral("Runs %1 with all its connections through the Velmora chain "
                                  "%2 (local port %3)")
                       .arg(name, chainName)
                       .arg(chain.Port));
    entry.SetValue(
        QStringLiteral("Exec"),
        TDesktopEntry::CommandLine(QStringList{velmoraPath} + chains.RunArguments(program)));
    entry.SetValue(QStringLiteral("Icon"), icon.isEmpty() ? QLatin1String(FallbackIcon) : icon);
    entry.SetValue(QStringLiteral("Terminal"), QStringLiteral("false"));
    entry.SetValue(QStringLiteral("Categories"), QStringLiteral("Network;"));
    entry.SetValue(QLatin1String(OwnerKey), QString::number(program.UID));
    return entry;
}

TProgramMenuEntry::TOwner TProgramMenuEntry::OwnerOf(const TAnonymProgram &program) {
    const QString path = Path(program.Filename);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return TOwner::oNone;
    try {
        const TDesktopEntry entry = TDesktopEntry::Load(path);
        return entry.Value(QLatin1String(OwnerKey)) == QString::number(program.UID)
                   ? TOwner::oThis
                   : TOwner::oOther;
    } catch (const EVelmoraError &) {
        return TOwner::oOther;
    }
}

QString TProgramMenuEntry::Write(const TAnonymProgram &program, const TProgramChains &chains,
                                 const QString &velmoraPath) {
    const QString path = Path(program.Filename);
    Compose(program, chains, velmoraPath, TDesktopEntry::FindIcon(program.Filename)).Save(path);
    return path;
}

QString TProgramMenuEntry::RemoveFor(const TAnonymProgram &program) {
    if (OwnerOf(program) != TOwner::oThis)
        return {};
    const QString path = Path(program.Filename);
    TDesktopEntry::Remove(path);
    return path;
}

QString TProgramMenuEntry::Follow(const TAnonymProgram &before, const TAnonymProgram &after,
                                  const TProgramChains &chains, const QString &velmoraPath) {
    if (OwnerOf(before) != TOwner::oThis)
        return {};
    if (chains.View(after).Marked())
        throw EVelmoraError(chains.Refusal(after, QStringLiteral("updated in the menu")));
    const QString path = Write(after, chains, velmoraPath);
    if (Path(before.Filename) != path)
        TDesktopEntry::Remove(Path(before.Filename));
    return path;
}
