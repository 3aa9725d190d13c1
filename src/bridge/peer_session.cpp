#include "bridge/peer_session.h"

namespace ordane::bridge {

namespace {
constexpr int kFillAttempts = 4;
}  // namespace

IpAddress MappedV4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    IpAddress address{};
    address[10] = 0xFF;
    address[11] = 0xFF;
    address[12] = a;
    address[13] = b;
    address[14] = c;
    address[15] = d;
    return address;
}

std::optional<std::uint32_t> PageProcess(std::span<const TcpRow> rows, const TcpEndpoint& peer,
                                         const TcpEndpoint& us) {
    for (const TcpRow& row : rows) {
        if (row.local == peer && row.remote == us) {
            return row.pid;
        }
    }
    return std::nullopt;
}

bool ServePeer(const PeerOwner& owner, std::uint32_t ownSession, bool underWine) {
    if (!owner.listed || owner.pid == 0) {
        return underWine;
    }
    return owner.session && *owner.session == ownSession;
}

bool FillGrowing(std::vector<unsigned char>& buffer,
                 const std::function<bool(unsigned char*, std::uint32_t&)>& fill) {
    std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
    for (int attempt = 0; attempt < kFillAttempts; ++attempt) {
        buffer.resize(size);
        if (fill(buffer.empty() ? nullptr : buffer.data(), size)) {
            return true;
        }
    }
    return false;
}

}  // namespace ordane::bridge
