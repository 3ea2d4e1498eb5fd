// A network client for the launcher's tests that does its socket work
// through io_uring (IORING_OP_SOCKET, CONNECT, SEND, RECV): the kernel
// carries out each step, so no C library call that a preloaded library
// could wrap is made. The arguments and output lines are those of the
// statically linked client (StaticClient.cpp), without --answer:
//
//   --dns SERVER NAME   "dns ADDRESS" | "dns none" | "dns error TEXT"
//   --connect ADDR PORT "tcp OK/COUNT" (+ "tcp-error TEXT"), --count N times
//   --udp ADDR PORT     "udp reply" | "udp none" | "udp error TEXT"
//   --v6 ADDR PORT      "v6 ok" | "v6 fail TEXT"
//
// Exit status 3 when no ring can be set up (io_uring switched off here).
#include "ClientSteps.h"
#include "DnsWire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <liburing.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr long long kWaitNs = 5'000'000'000LL;

io_uring Ring;

// Runs one operation prepared by `prep`, bounded by a linked time-out; its
// result (negative errno on failure, -ECANCELED when the time ran out).
template <class TPrep> int Run(TPrep prep) {
    io_uring_sqe *sqe = io_uring_get_sqe(&Ring);
    prep(sqe);
    sqe->flags |= IOSQE_IO_LINK;
    sqe->user_data = 1;
    __kernel_timespec ts{kWaitNs / 1'000'000'000LL, 0};
    io_uring_sqe *timeout = io_uring_get_sqe(&Ring);
    io_uring_prep_link_timeout(timeout, &ts, 0);
    timeout->user_data = 2;
    io_uring_submit(&Ring);
    int result = -EIO;
    for (int seen = 0; seen < 2; ++seen) {
        io_uring_cqe *cqe = nullptr;
        if (io_uring_wait_cqe(&Ring, &cqe) < 0)
            break;
        if (cqe->user_data == 1)
            result = cqe->res;
        io_uring_cqe_seen(&Ring, cqe);
    }
    return result;
}

// A socket made by the ring (by socket(2) where the kernel lacks the
// operation); negative errno on failure.
int MakeSocket(int family, int type) {
    const int fd = Run([&](io_uring_sqe *sqe) { io_uring_prep_socket(sqe, family, type, 0, 0); });
    if (fd != -EINVAL)
        return fd;
    const int plain = ::socket(family, type, 0);
    return plain >= 0 ? plain : -errno;
}

std::string ErrorText(int negative) {
    return negative == -ECANCELED ? "timed out" : std::strerror(-negative);
}

int Connect(const TAddress &to, int type, std::string &error) {
    const int fd = MakeSocket(to.Storage.ss_family, type);
    if (fd < 0) {
        error = ErrorText(fd);
        return -1;
    }
    const int rc = Run([&](io_uring_sqe *sqe) {
        io_uring_prep_connect(sqe, fd, reinterpret_cast<const sockaddr *>(&to.Storage), to.Length);
    });
    if (rc < 0) {
        error = ErrorText(rc);
        ::close(fd);
        return -1;
    }
    return fd;
}

int Send(int fd, const std::string &data) {
    return Run([&](io_uring_sqe *sqe) {
        io_uring_prep_send(sqe, fd, data.data(), data.size(), MSG_NOSIGNAL);
    });
}

int Recv(int fd, char *buffer, size_t size) {
    return Run([&](io_uring_sqe *sqe) { io_uring_prep_recv(sqe, fd, buffer, size, 0); });
}

bool HttpGet(const TAddress &to, std::string &error) {
    const int fd = Connect(to, SOCK_STREAM, error);
    if (fd < 0)
        return false;
    const std::string request = "GET / HTTP/1.0\r\nHost: dest\r\n\r\n";
    const int sent = Send(fd, request);
    if (sent != int(request.size())) {
        error = "send: " + (sent < 0 ? ErrorText(sent) : std::string("short"));
        ::close(fd);
        return false;
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        const int got = Recv(fd, buffer, sizeof buffer);
        if (got < 0)
            error = "recv: " + ErrorText(got);
        if (got <= 0)
            break;
        answer.append(buffer, size_t(got));
    }
    ::close(fd);
    return HttpAnswerOk(answer, error);
}

// Sends `data` as one datagram to `to` and returns the first datagram back
// ("none" when nothing came within the bound).
std::string Exchange(const TAddress &to, const std::string &data, std::string &reply) {
    std::string error;
    const int fd = Connect(to, SOCK_DGRAM, error);
    if (fd < 0)
        return "error " + error;
    std::string result;
    const int sent = Send(fd, data);
    if (sent < 0) {
        result = "error " + ErrorText(sent);
    } else {
        char buffer[1500];
        const int got = Recv(fd, buffer, sizeof buffer);
        if (got == -ECANCELED)
            result = "none";
        else if (got < 0)
            result = "error " + ErrorText(got);
        else
            reply.assign(buffer, size_t(got));
    }
    ::close(fd);
    return result;
}

} // namespace

int main(int argc, char **argv) {
    const std::optional<TClientArgs> parsed = ParseClientArgs(argc, argv, false);
    if (!parsed)
        return 2;
    const TClientArgs &args = *parsed;
    const int setup = io_uring_queue_init(8, &Ring, 0);
    if (setup < 0) {
        std::printf("uring unavailable %s\n", std::strerror(-setup));
        return 3;
    }

    if (!args.DnsServer.empty()) {
        const uint16_t id = uint16_t(::getpid());
        std::string reply;
        const auto to = MakeAddress(args.DnsServer, 53);
        std::string result = to ? Exchange(*to, VelmoraDns::BuildQuery(id, args.DnsName, 1), reply)
                                : "error bad server address";
        if (result.empty())
            result = VelmoraDns::FirstAddress(reply, id).value_or("none");
        std::printf("dns %s\n", result.c_str());
    }

    int failures = 0;
    if (args.ConnectPort != 0)
        failures += ConnectStep(args.ConnectAddress, args.ConnectPort, args.Count, HttpGet);
    if (args.UdpPort != 0) {
        const auto to = MakeAddress(args.UdpAddress, args.UdpPort);
        std::string reply;
        std::string result = to ? Exchange(*to, "velmora udp probe", reply) : "error bad address";
        std::printf("udp %s\n", result.empty() ? "reply" : result.c_str());
    }
    if (args.V6Port != 0)
        V6Step(args, HttpGet);
    io_uring_queue_exit(&Ring);
    return failures == 0 ? 0 : 1;
}
