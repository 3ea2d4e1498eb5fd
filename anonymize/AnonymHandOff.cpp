#include "anonymize/AnonymHandOff.h"

#include "platform/KeyValueStore.h"
#include "store/dmProxyData.h"

QString TAnonymHandOff::ValueName(const QString &AFilename) {
    // The key-value library reads every '/' of a value name as a step into a
    // sub-key: "/usr/bin/firefox" would land in the sub-key "usr/bin", out of
    // the redirector's sight and out of reach of the next hand-off's clean-up.
    return AFilename.section(u'/', -1);
}

bool TAnonymHandOff::WriteAnonymListToRegistry(TdmProxyData &store) {
    TKeyValueStore key(QString::fromLatin1(KeyPath));
    for (const QString &name : key.ValueNames())
        key.DeleteValue(name);
    for (const TAnonymProgram &program : store.AnonymizedPrograms()) {
        const QString name = ValueName(program.Filename);
        if (name.isEmpty())
            continue; // no program to name ("" or a folder); the dialog never stores one
        key.WriteInteger(name, program.ChainPort);
    }
    key.Flush();
    return true;
}

QString TAnonymHandOff::Location() {
    return TKeyValueStore(QString::fromLatin1(KeyPath)).Location();
}
