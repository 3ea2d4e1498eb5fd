// What a confined program keeps of the desktop: the variables that lead to
// the session's services are gone, the display's and the sound's stay (the
// sound's not with --no-sound), a program run for another user gets that
// user's home and runtime folder; and the mounts planned keep exactly the
// display's and sound's sockets of the hidden runtime folder. The mounts
// themselves are tested from inside `velmora run` (tests/launch).

#include "anonymize/HostServices.h"
#include "platform/RunAsUser.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

const char *const Runtime = "/run/user/1000";

THostServices::TDesktop Desktop(bool sound) {
    THostServices::TDesktop desktop;
    desktop.Uid = 1000;
    desktop.Runtime = Runtime;
    desktop.Wayland = "wayland-1";
    desktop.XAuthority = "/run/user/1000/.mutter-Xwaylandauth.ABC";
    desktop.Sound = sound;
    return desktop;
}

bool Has(const std::vector<std::string> &list, const std::string &item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

const std::vector<std::string> Environment{
    "PATH=/usr/bin",
    "DISPLAY=:0",
    "XDG_RUNTIME_DIR=/run/user/1000",
    "WAYLAND_DISPLAY=wayland-1",
    "XAUTHORITY=/run/user/1000/.mutter-Xwaylandauth.ABC",
    "PULSE_SERVER=unix:/run/user/1000/pulse/native",
    "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus",
    "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/var/run/dbus/system_bus_socket",
    "SSH_AUTH_SOCK=/tmp/ssh-XYZ/agent.12",
    "GPG_AGENT_INFO=/run/user/1000/gnupg/S.gpg-agent:0:1",
    "SESSION_MANAGER=local/host:@/tmp/.ICE-unix/99,unix/host:/tmp/.ICE-unix/99",
    "MY_AGENT=/run/user/1000/my-agent.sock",
    "VELMORA_CONTROL=/tmp/velmora-1000/control.sock",
    "HOME=/home/me",
    "EMPTY=",
};

TEST(HostServices, TheProgramsEnvironmentLeadsOnlyToTheDisplayAndTheSound) {
    struct TCase {
        bool Sound;
        std::vector<std::string> Kept, Removed;
    };
    const std::vector<std::string> always{"PATH=/usr/bin",
                                          "DISPLAY=:0",
                                          "XDG_RUNTIME_DIR=/run/user/1000",
                                          "WAYLAND_DISPLAY=wayland-1",
                                          "XAUTHORITY=/run/user/1000/.mutter-Xwaylandauth.ABC",
                                          "HOME=/home/me",
                                          "EMPTY="};
    const std::vector<std::string> never{
        "DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS", "SSH_AUTH_SOCK",
        "GPG_AGENT_INFO",           "SESSION_MANAGER",         "MY_AGENT",
        "VELMORA_CONTROL"};
    for (const TCase &c : {TCase{true, {"PULSE_SERVER=unix:/run/user/1000/pulse/native"}, {}},
                           TCase{false, {}, {"PULSE_SERVER"}}}) {
        SCOPED_TRACE(c.Sound ? "with sound" : "without sound");
        const std::vector<std::string> got =
            THostServices::Environment(Environment, Desktop(c.Sound), nullptr);
        for (const std::string &kept : always)
            EXPECT_TRUE(Has(got, kept)) << kept;
        for (const std::string &kept : c.Kept)
            EXPECT_TRUE(Has(got, kept)) << kept;
        std::vector<std::string> removed = never;
        removed.insert(removed.end(), c.Removed.begin(), c.Removed.end());
        for (const std::string &name : removed)
            EXPECT_FALSE(std::any_of(got.begin(), got.end(), [&](const std::string &e) {
                return e.rfind(name + "=", 0) == 0;
            })) << name;
        EXPECT_EQ(got.size(), always.size() + c.Kept.size());
    }
}

TEST(HostServices, AProgramRunForAnotherUserHasThatUsersHomeAndNames) {
    TRunAsUser user;
    user.Uid = 4242; // no runtime folder: XDG_RUNTIME_DIR goes
    user.Gid = 4242;
    user.Name = "alice";
    user.Home = "/home/alice";
    const std::vector<std::string> got = THostServices::ForUser(
        {"HOME=/root", "USER=root", "LOGNAME=root", "XDG_RUNTIME_DIR=/run/user/0", "PATH=/bin"},
        user);
    EXPECT_EQ(got, (std::vector<std::string>{"PATH=/bin", "HOME=/home/alice", "USER=alice",
                                             "LOGNAME=alice"}));
}

TEST(HostServices, ThePlanHidesTheRuntimeFolderAndKeepsTheDisplayAndSoundSockets) {
    const THostServices::TPlan with = THostServices::Plan(Desktop(true));
    for (const std::string &folder : {"/run/user/1000", "/tmp/velmora-1000", "/run/dbus"})
        EXPECT_TRUE(Has(with.Hidden, folder)) << folder;
    for (const std::string &file :
         {"/run/user/1000/wayland-1", "/run/user/1000/.mutter-Xwaylandauth.ABC",
          "/run/user/1000/pulse/native", "/run/user/1000/pipewire-0"})
        EXPECT_TRUE(Has(with.Kept, file) && Has(with.Spared, file)) << file;
    EXPECT_EQ(with.Kept.size(), 4U);
    EXPECT_TRUE(Has(with.Spared, "/tmp/.X11-unix/"));

    const THostServices::TPlan without = THostServices::Plan(Desktop(false));
    EXPECT_EQ(without.Kept, (std::vector<std::string>{"/run/user/1000/wayland-1",
                                                      "/run/user/1000/.mutter-Xwaylandauth.ABC"}));
    // A Wayland display named by its path is kept where it is.
    THostServices::TDesktop path = Desktop(false);
    path.Wayland = "/run/user/1000/wl/display";
    EXPECT_TRUE(Has(THostServices::Plan(path).Kept, "/run/user/1000/wl/display"));
}

} // namespace
