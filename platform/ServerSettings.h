#pragma once
// The servers' own settings, kept apart from the tables in the per-user
// configuration folder beside the window's "Window.conf"
// ($XDG_CONFIG_HOME/VelmoraAnonumizer/Servers.conf): how many clients each
// server (port 9999, every chain) serves at once. Read by the window and by
// `velmora --headless`, which pass the number to the services.

#include <QString>
#include <cstddef>

class TServerSettings {
public:
    static constexpr int DefaultMaxClients = 1024;
    static constexpr int MinMaxClients = 1;
    static constexpr int MaxMaxClients = 65535;
    static constexpr const char *KeyPath = "VelmoraAnonumizer/Servers";
    static constexpr const char *MaxClientsName = "MaxClients";

    // The stored number, or the default when none is stored. A stored value
    // that is no number from MinMaxClients to MaxMaxClients gives the
    // default too, and `problem` (when given) says so.
    static int MaxClients(QString *problem = nullptr);
    // Stores a number from MinMaxClients to MaxMaxClients; any other throws
    // EVelmoraError saying the range, and nothing is stored. Throws when the
    // file cannot be written.
    static void SetMaxClients(int value);
    // The file's path.
    static QString FileName();
};
