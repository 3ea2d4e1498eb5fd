#include "platform/FdPassing.h"

#include "platform/Error.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

void TFdPassing::Send(int socket, const std::string &text, const std::vector<int> &fds) {
    if (fds.size() > MaxFds || text.size() > MaxText)
        throw EVelmoraError("Too much to hand over in one message");
    char zero = 0;
    iovec iov{text.empty() ? &zero : const_cast<char *>(text.data()),
              text.empty() ? 1 : text.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MaxFds)] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    if (!fds.empty()) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n;
    do
        n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw EVelmoraError(std::string("Cannot hand over sockets: ") + std::strerror(errno));
}

bool TFdPassing::Receive(int socket, std::string &text, std::vector<int> &fds) {
    char buffer[MaxText];
    iovec iov{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MaxFds)] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw EVelmoraError(std::string("Cannot receive sockets: ") + std::strerror(errno));
    fds.clear();
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const auto *data = reinterpret_cast<const int *>(CMSG_DATA(c));
        fds.assign(data, data + count);
    }
    if (n == 0)
        return false;
    text.assign(buffer, static_cast<size_t>(n));
    if (text == std::string(1, '\0'))
        text.clear();
    return true;
}
