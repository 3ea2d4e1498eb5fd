#pragma once
// The hand-off of the anonymized program list to the outside redirector: the
// per-user key "VelmoraAnonumizer/AnonymList" gets one 32-bit value per
// program, named by its file name without any folder ("/usr/bin/firefox"
// gives "firefox"), holding its chain's port (0: no chain).
// Every other value of the key is removed first, so the key mirrors the
// table; rows whose names differ only in case give one value, the later
// row's port winning.

#include <QString>

class TdmProxyData;

class TAnonymHandOff {
public:
    static constexpr const char *KeyPath = "VelmoraAnonumizer/AnonymList";

    // True when the hand-off completed; a key that cannot be written throws.
    static bool WriteAnonymListToRegistry(TdmProxyData &store);
    static QString Location();
    // The value name of a program as the table holds it: its file name, the
    // text after the last '/'.
    static QString ValueName(const QString &AFilename);
};
