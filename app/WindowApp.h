#pragma once
// The program with its window: the splash, the one-second pause, the title,
// the theme "My Style" from "Style.vsf" (found by TProgramFiles), then the
// service module (port 9999), the store and the main window, and the event
// loop until the window closes.

//
// Built into the module velmora-window.so, which main() loads only for the
// window; its entry point is VelmoraWindowMain.

class TWindowApp {
public:
    // Returns the exit status; 1 when start-up failed (the message was shown).
    static int Run(int argc, char **argv);
};

extern "C" int VelmoraWindowMain(int argc, char **argv);
