#pragma once
// Commands for scripts and machines without a display:
//   velmora list proxies|chains|programs
//   velmora import [FILE]
//   velmora check [--all | UID ...]
//   velmora chain add NAME PORT UID [UID ...]
//   velmora chain start|stop|restart NAME|PORT ...   (the running instance)
//   velmora chain test NAME|PORT                      (the running instance)
// Errors go to standard error with a non-zero exit status; nothing is
// written on error. import, check and chain add are made by the running
// instance when there is one, else under the data folder's lock held alone
// (TStoreCommands, TDataFolderLock); the others read the tables under it
// shared.

class TCli {
public:
    static bool IsCommand(const char *word);
    static int Run(int argc, char **argv);
    // Prints the usage to standard error; returns the exit status for it.
    static int Usage();
    // --help: the usage on standard output, status 0.
    static int Help();
};
