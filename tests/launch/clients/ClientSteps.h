#pragma once
// What the static and the io_uring client share: their arguments, the check
// of an HTTP answer, and the --connect and --v6 steps with their output
// lines. Each client brings its own HTTP GET (plain sockets or the ring).
// Inline, so that each links nothing for it.

#include "ClientAddress.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <optional>
#include <set>
#include <string>

struct TClientArgs {
    std::string DnsServer, DnsName, ConnectAddress, UdpAddress, V6Address;
    int ConnectPort = 0, UdpPort = 0, V6Port = 0, Count = 1;
    bool UseAnswer = false, DnsOverTcp = false, Fds = false;
};

// --fds: "fds 0 1 2", the descriptors this process holds (the one that
// reads the list left out), in order. Statically linked, nothing of a
// preloaded library opens any of its own.
inline std::string OpenDescriptors() {
    DIR *folder = ::opendir("/proc/self/fd");
    if (!folder)
        return "error no /proc/self/fd";
    std::set<int> open;
    while (const dirent *entry = ::readdir(folder))
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(folder))
            open.insert(std::atoi(entry->d_name));
    ::closedir(folder);
    std::string text;
    for (int fd : open)
        text += (text.empty() ? "" : " ") + std::to_string(fd);
    return text;
}

// The arguments; empty after a line on standard error for an unknown one.
// --dns-tcp and --answer are known only `withAnswer`.
inline std::optional<TClientArgs> ParseClientArgs(int argc, char **argv, bool withAnswer) {
    TClientArgs args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool two = i + 2 < argc;
        if ((a == "--dns" || (withAnswer && a == "--dns-tcp")) && two) {
            args.DnsOverTcp = a == "--dns-tcp";
            args.DnsServer = argv[++i];
            args.DnsName = argv[++i];
        } else if (a == "--connect" && two) {
            args.ConnectAddress = argv[++i];
            args.ConnectPort = std::atoi(argv[++i]);
        } else if (a == "--udp" && two) {
            args.UdpAddress = argv[++i];
            args.UdpPort = std::atoi(argv[++i]);
        } else if (a == "--v6" && two) {
            args.V6Address = argv[++i];
            args.V6Port = std::atoi(argv[++i]);
        } else if (a == "--count" && i + 1 < argc) {
            args.Count = std::atoi(argv[++i]);
        } else if (a == "--fds") {
            args.Fds = true;
        } else if (withAnswer && a == "--answer") {
            args.UseAnswer = true;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return std::nullopt;
        }
    }
    return args;
}

// True when `answer` begins with a 200 status line; else `error` says why,
// unless it already does.
inline bool HttpAnswerOk(const std::string &answer, std::string &error) {
    if (answer.rfind("HTTP/1.0 200", 0) == 0 || answer.rfind("HTTP/1.1 200", 0) == 0)
        return true;
    if (error.empty())
        error = answer.empty() ? "no answer" : "answer: " + answer.substr(0, 40);
    return false;
}

// --connect: `count` HTTP GETs to target:port by `get`, printed as "tcp
// OK/COUNT" (and the first "tcp-error TEXT"); how many failed.
template <class TGet> int ConnectStep(const std::string &target, int port, int count, TGet get) {
    const auto to = MakeAddress(target, port);
    int ok = 0;
    std::string firstError;
    for (int i = 0; to && i < count; ++i) {
        std::string error;
        if (get(*to, error))
            ++ok;
        else if (firstError.empty())
            firstError = error;
    }
    std::printf("tcp %d/%d\n", ok, count);
    if (!firstError.empty())
        std::printf("tcp-error %s\n", firstError.c_str());
    return count - ok;
}

// --v6: one HTTP GET by `get`, printed as "v6 ok" or "v6 fail TEXT".
template <class TGet> void V6Step(const TClientArgs &args, TGet get) {
    const auto to = MakeAddress(args.V6Address, args.V6Port);
    std::string error = "bad address";
    const bool ok = to && get(*to, error);
    std::printf("v6 %s\n", ok ? "ok" : ("fail " + error).c_str());
}
