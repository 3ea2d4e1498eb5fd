#pragma once
// The program without a window: the service module (port 9999), the store
// (first-run provisioning, then the load), and the chain services switched
// on once the event loop runs. Every plain message and every activity report
// becomes one line on standard output. SIGHUP restarts the chains from the
// store; SIGINT or SIGTERM switches the services off and ends the run with
// status 0. The control socket (TInstanceControl) serves `velmora chain ...`;
// when another instance answers there, the run ends at once with status 1.

class THeadless {
public:
    // Runs until a signal arrives; returns the exit status.
    static int Run(int argc, char **argv);
};
