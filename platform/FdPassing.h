#pragma once
// File descriptors handed between processes over a Unix socket
// (SCM_RIGHTS), with a short text beside them. The received descriptors are
// the receiver's own (close-on-exec set); the sender keeps its copies.

#include <string>
#include <vector>

class TFdPassing {
public:
    static constexpr size_t MaxFds = 16;
    static constexpr size_t MaxText = 4096;

    // Sends the text (up to MaxText bytes) and the descriptors in one
    // message. Throws EVelmoraError on failure.
    static void Send(int socket, const std::string &text, const std::vector<int> &fds);
    // Receives one message; false at end of stream (the sender went away).
    static bool Receive(int socket, std::string &text, std::vector<int> &fds);
};
