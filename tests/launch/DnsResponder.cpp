#include "tests/launch/DnsResponder.h"

#include "tests/launch/clients/DnsWire.h"
#include "tests/support/Topology.h"

#include <arpa/inet.h>
#include <stdexcept>

namespace VelmoraTest {

TDnsResponder::TDnsResponder(const std::string &nsPath, const std::string &address,
                             std::vector<TRecord> records) {
    for (const TRecord &r : records) {
        std::string v4(4, '\0'), v6(16, '\0');
        if (::inet_pton(AF_INET, r.Address.c_str(), v4.data()) != 1)
            throw std::runtime_error("not an IPv4 address: " + r.Address);
        FRecords[r.Name][VelmoraDns::TypeA] = v4;
        if (!r.Address6.empty()) {
            if (::inet_pton(AF_INET6, r.Address6.c_str(), v6.data()) != 1)
                throw std::runtime_error("not an IPv6 address: " + r.Address6);
            FRecords[r.Name][VelmoraDns::TypeAAAA] = v6;
        }
    }
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
    const auto name = FRecords.find(q->Name);
    if (name == FRecords.end())
        return VelmoraDns::BuildAnswer(query, *q, false, {});
    const auto data = name->second.find(q->Type);
    return VelmoraDns::BuildAnswer(query, *q, true,
                                   data == name->second.end() ? std::string() : data->second);
}

} // namespace VelmoraTest
