#include "tests/launch/DnsResponder.h"

#include "tests/launch/Topology.h"
#include "tests/launch/clients/DnsWire.h"

#include <arpa/inet.h>
#include <stdexcept>

namespace VelmoraTest {

TDnsResponder::TDnsResponder(const std::string &nsPath, const std::string &address,
                             const std::string &name, const std::string &answer)
    : FName(name) {
    if (::inet_pton(AF_INET, answer.c_str(), FAddress) != 1)
        throw std::runtime_error("not an IPv4 address: " + answer);
    FUdp = std::make_unique<TDatagramServer>(
        nsPath, std::vector<std::string>{address}, 53,
        [this](const std::string &query) { return Answer(query); });
    TSocket listener(
        TTopology::InNetwork(nsPath, [&] { return BindSocket(address, 53, SOCK_STREAM); }));
    FTcp = std::make_unique<TLoopbackServer>(std::move(listener), [this](TSocket &client) {
        ++FTcpConnections;
        client.SetReadTimeout(5000);
        unsigned char length[2];
        client.ReadExact(length, 2);
        std::string query(size_t(length[0] << 8 | length[1]), '\0');
        client.ReadExact(query.data(), query.size());
        const std::optional<std::string> reply = Answer(query);
        if (!reply)
            return;
        const unsigned char head[2] = {uint8_t(reply->size() >> 8), uint8_t(reply->size())};
        client.WriteAll(head, 2);
        client.WriteAll(*reply);
    });
}

TDnsResponder::~TDnsResponder() {
    FTcp.reset();
    FUdp.reset();
}

void TDnsResponder::Reset() {
    FUdp->Reset();
    FTcpConnections = 0;
}

std::optional<std::string> TDnsResponder::Answer(const std::string &query) const {
    const auto q = VelmoraDns::ParseQuestion(query);
    if (!q)
        return std::nullopt;
    return VelmoraDns::BuildAnswer(query, *q, q->Name == FName, FAddress);
}

} // namespace VelmoraTest
