// The look-up answerer of launched programs, asked by the C library's own
// resolver over UDP (a real DNS client), and fed broken queries directly.

#include "anonymize/FakeDns.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// The answerer on a UDP port of 127.0.0.1, as the redirector serves it.
class TAnswererOnUdp {
public:
    explicit TAnswererOnUdp(TFakeAddresses &addresses) : FAnswerer(addresses) {
        FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(FSocket, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t length = sizeof a;
        ::getsockname(FSocket, reinterpret_cast<sockaddr *>(&a), &length);
        FPort = ntohs(a.sin_port);
        FThread = std::thread([this] { Loop(); });
    }
    ~TAnswererOnUdp() {
        FStop = true;
        FThread.join();
        ::close(FSocket);
    }
    uint16_t Port() const { return FPort; }

private:
    void Loop() {
        uint8_t buffer[1500];
        while (!FStop) {
            pollfd p{FSocket, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            sockaddr_storage from;
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(FSocket, buffer, sizeof buffer, 0,
                                         reinterpret_cast<sockaddr *>(&from), &length);
            if (n <= 0)
                continue;
            if (auto answer = FAnswerer.Answer(buffer, static_cast<size_t>(n)))
                ::sendto(FSocket, answer->data(), answer->size(), 0,
                         reinterpret_cast<sockaddr *>(&from), length);
        }
    }
    TDnsAnswerer FAnswerer;
    int FSocket = -1;
    uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Asks the C library's resolver, pointed at 127.0.0.1:port only.
struct TLookup {
    int Length = -1;
    int HErrno = 0;
    std::vector<uint32_t> Addresses;
    uint32_t Ttl = 0;
};

TLookup Ask(uint16_t port, const char *name, int type) {
    struct __res_state state {};
    EXPECT_EQ(res_ninit(&state), 0);
    state.nscount = 1;
    state.nsaddr_list[0].sin_family = AF_INET;
    state.nsaddr_list[0].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    state.nsaddr_list[0].sin_port = htons(port);
    state.retry = 1;
    state.retrans = 2;
    state.options &= ~(RES_DNSRCH | RES_DEFNAMES);
    unsigned char answer[1500];
    TLookup result;
    result.Length = res_nquery(&state, name, ns_c_in, type, answer, sizeof answer);
    result.HErrno = state.res_h_errno;
    if (result.Length > 0) {
        ns_msg message;
        EXPECT_EQ(ns_initparse(answer, result.Length, &message), 0);
        for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
            ns_rr rr;
            EXPECT_EQ(ns_parserr(&message, ns_s_an, i, &rr), 0);
            EXPECT_EQ(ns_rr_type(rr), ns_t_a);
            EXPECT_EQ(ns_rr_rdlen(rr), 4);
            uint32_t address;
            std::memcpy(&address, ns_rr_rdata(rr), 4);
            result.Addresses.push_back(ntohl(address));
            result.Ttl = ns_rr_ttl(rr);
        }
    }
    res_nclose(&state);
    return result;
}

std::vector<uint8_t> Query(uint16_t flags, uint16_t questions, const std::vector<uint8_t> &body) {
    std::vector<uint8_t> q(12 + body.size(), 0);
    q[0] = 0x12;
    q[1] = 0x34;
    q[2] = static_cast<uint8_t>(flags >> 8);
    q[3] = static_cast<uint8_t>(flags);
    q[5] = static_cast<uint8_t>(questions);
    std::copy(body.begin(), body.end(), q.begin() + 12);
    return q;
}

const std::vector<uint8_t> ExampleA = {7,   'e', 'x', 'a', 'm', 'p', 'l', 'e', 3,
                                       'c', 'o', 'm', 0,   0,   1,   0,   1};

uint8_t Rcode(const std::vector<uint8_t> &answer) {
    return answer[3] & 0x0F;
}

} // namespace

TEST(FakeDns, TheResolverGetsOneStableAddressPerNameFromTheReservedRange) {
    TFakeAddresses addresses;
    TAnswererOnUdp server(addresses);
    const TLookup first = Ask(server.Port(), "dest.velmora.test", ns_t_a);
    ASSERT_GT(first.Length, 0);
    ASSERT_EQ(first.Addresses.size(), 1u);
    EXPECT_TRUE(TFakeAddresses::InRange(first.Addresses[0]));
    EXPECT_EQ(first.Addresses[0] >> 17, 0xC612u >> 1); // 198.18.0.0/15
    EXPECT_EQ(first.Ttl, TDnsAnswerer::Ttl);
    EXPECT_EQ(addresses.NameOf(first.Addresses[0]), "dest.velmora.test");

    // The same name, in other letters, is the same address; another name is not.
    EXPECT_EQ(Ask(server.Port(), "DEST.Velmora.TEST", ns_t_a).Addresses, first.Addresses);
    const TLookup other = Ask(server.Port(), "other.velmora.test", ns_t_a);
    ASSERT_EQ(other.Addresses.size(), 1u);
    EXPECT_NE(other.Addresses[0], first.Addresses[0]);
    EXPECT_EQ(addresses.NameOf(other.Addresses[0]), "other.velmora.test");

    // An address never given and one outside the range have no name.
    EXPECT_FALSE(addresses.NameOf(other.Addresses[0] + 1000));
    EXPECT_FALSE(addresses.NameOf(0x7F000001));
}

TEST(FakeDns, Ipv6AndOtherQuestionsGetNoAddressAndMakeNone) {
    TFakeAddresses addresses;
    TAnswererOnUdp server(addresses);
    for (int type : {ns_t_aaaa, ns_t_mx, ns_t_txt}) {
        const TLookup l = Ask(server.Port(), "v6.velmora.test", type);
        EXPECT_EQ(l.Length, -1) << type;
        EXPECT_EQ(l.HErrno, NO_DATA) << type; // the name exists, no record of that type
    }
    EXPECT_FALSE(addresses.NameOf(TFakeAddresses::First)); // nothing was given out
    const TLookup local = Ask(server.Port(), "localhost", ns_t_a);
    ASSERT_EQ(local.Addresses.size(), 1u);
    EXPECT_EQ(local.Addresses[0], 0x7F000001u);
}

TEST(FakeDns, BrokenQueriesAreRefusedOrIgnoredWithoutGivingAnAddress) {
    TFakeAddresses addresses;
    TDnsAnswerer answerer(addresses);
    const uint8_t shortMessage[5] = {1, 2, 3, 4, 5};
    EXPECT_FALSE(answerer.Answer(shortMessage, sizeof shortMessage));
    const std::vector<uint8_t> response = Query(0x8100, 1, ExampleA); // QR set: an answer
    EXPECT_FALSE(answerer.Answer(response.data(), response.size()));

    const std::vector<uint8_t> two = Query(0x0100, 2, ExampleA);
    const std::vector<uint8_t> cut = Query(0x0100, 1, {7, 'e', 'x', 'a'});
    const std::vector<uint8_t> longLabel = Query(0x0100, 1, {64, 'a', 0, 0, 1, 0, 1});
    const std::vector<uint8_t> pointer = Query(0x0100, 1, {0xC0, 0x0C, 0, 1, 0, 1});
    for (const auto &q : {two, cut, longLabel, pointer}) {
        auto a = answerer.Answer(q.data(), q.size());
        ASSERT_TRUE(a);
        EXPECT_EQ(Rcode(*a), 1); // FORMERR
        EXPECT_EQ((*a)[0], 0x12);
        EXPECT_EQ((*a)[1], 0x34);
        EXPECT_EQ((*a)[7], 0); // no answer
    }
    const std::vector<uint8_t> status = Query(0x1000, 1, ExampleA); // opcode 2
    auto a = answerer.Answer(status.data(), status.size());
    ASSERT_TRUE(a);
    EXPECT_EQ(Rcode(*a), 4); // NOTIMP
    EXPECT_FALSE(addresses.NameOf(TFakeAddresses::First));
}

TEST(FakeDns, WhenEveryAddressIsGivenTheOldestIsReused) {
    TFakeAddresses addresses;
    const uint32_t first = addresses.AddressOf("n0");
    for (uint32_t i = 1; i < TFakeAddresses::Count; ++i)
        addresses.AddressOf("n" + std::to_string(i));
    EXPECT_EQ(addresses.AddressOf("n1"), first + 1); // known names keep theirs
    const uint32_t reused = addresses.AddressOf("late");
    EXPECT_EQ(reused, first);
    EXPECT_EQ(addresses.NameOf(first), "late");
    EXPECT_NE(addresses.AddressOf("n0"), first); // n0 lost it and gets the next oldest
    EXPECT_EQ(addresses.NameOf(first + 1), "n0");
}
