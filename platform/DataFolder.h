#pragma once

#include <QString>

// The per-user data folder: $XDG_DATA_HOME (default ~/.local/share) followed
// by "/VelmoraAnonymizer/", with a trailing separator. Computed anew on every
// call; nothing caches it. Throws when the platform has no such location.
class TDataFolder {
public:
    static QString GetDataFolder();
};
