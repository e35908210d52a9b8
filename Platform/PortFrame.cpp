#include "PortFrame.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "MessagePort.h"

namespace platform::detail {
namespace {
constexpr unsigned char kMagic[4] = {'Q', 'P', 'R', 'T'};
constexpr double kMaxWaitSeconds = 24 * 3600.0;

template <typename T>
void put(unsigned char* out, T value) {
    std::memcpy(out, &value, sizeof value);
}

template <typename T>
T get(const unsigned char* in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    return value;
}
}  // namespace

void encodeHeader(const FrameHeader& header, unsigned char* out) {
    std::memcpy(out, kMagic, sizeof kMagic);
    put<uint16_t>(out + 4, kFrameVersion);
    out[6] = header.kind;
    out[7] = header.flags;
    put<int32_t>(out + 8, header.messageId);
    put<uint32_t>(out + 12, header.sequence);
    put<uint32_t>(out + 16, header.length);
}

HeaderCheck decodeHeader(const unsigned char* in, FrameHeader* header) {
    if (std::memcmp(in, kMagic, sizeof kMagic) != 0) return HeaderCheck::kBadMagic;
    if (get<uint16_t>(in + 4) != kFrameVersion) return HeaderCheck::kBadVersion;
    header->kind = in[6];
    header->flags = in[7];
    header->messageId = get<int32_t>(in + 8);
    header->sequence = get<uint32_t>(in + 12);
    header->length = get<uint32_t>(in + 16);
    if (header->kind != kFrameRequest && header->kind != kFrameReply) return HeaderCheck::kBadKind;
    if (header->length > kMaxMessageBytes) return HeaderCheck::kTooLong;
    return HeaderCheck::kOk;
}

bool isValidPortName(const std::string& name) { return !name.empty() && name.size() <= kMaxPortNameBytes; }

bool portSocketAddress(int dirFd, const std::string& folder, const std::string& fileName, sockaddr_un* addr,
                       socklen_t* length) {
    std::string path = folder + "/" + fileName;
    if (path.size() >= sizeof addr->sun_path) {
        path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + fileName;
    }
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, path.data(), path.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

bool peerIsSameUser(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return false;
    return cred.uid == geteuid();
}

Clock::time_point deadlineAfter(double seconds) {
    if (!(seconds > 0)) seconds = 0;  // also NaN
    seconds = std::min(seconds, kMaxWaitSeconds);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int millisUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace platform::detail
