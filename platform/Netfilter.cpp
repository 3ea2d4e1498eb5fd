#include "platform/Netfilter.h"

#include "platform/Error.h"

#include <cstring>
#include <memory>
#include <netinet/in.h>
// after netinet/in.h, whose definitions the kernel's headers then leave alone
#include <linux/netfilter_ipv4.h>
#include <linux/netfilter_ipv6/ip6_tables.h>
#include <nftables/libnftables.h>

namespace {

struct TContextFree {
    void operator()(nft_ctx *ctx) const { nft_ctx_free(ctx); }
};

} // namespace

void TNetfilter::Load(const std::string &ruleset) {
    std::unique_ptr<nft_ctx, TContextFree> ctx(nft_ctx_new(NFT_CTX_DEFAULT));
    if (!ctx)
        throw EVelmoraError("Cannot start libnftables");
    nft_ctx_buffer_output(ctx.get());
    nft_ctx_buffer_error(ctx.get());
    if (nft_run_cmd_from_buffer(ctx.get(), ruleset.c_str()) != 0) {
        std::string message = nft_ctx_get_error_buffer(ctx.get());
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        throw EVelmoraError("Cannot load the netfilter rules: " + message);
    }
}

bool TNetfilter::OriginalDestination(int fd, sockaddr_storage &address) {
    std::memset(&address, 0, sizeof address);
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    const bool v6 = address.ss_family == AF_INET6;
    length = sizeof address;
    return ::getsockopt(fd, v6 ? SOL_IPV6 : SOL_IP, v6 ? IP6T_SO_ORIGINAL_DST : SO_ORIGINAL_DST,
                        &address, &length) == 0;
}
