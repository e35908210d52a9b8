// Internal to Platform: the frame header that LocalPort and RemotePort put in
// front of every request and reply, and small socket helpers they share.
// docs/protocol.md describes the same layout for writers of other clients.
//
// Header (20 bytes, integers in the host's byte order):
//   0  4  magic "QPRT"
//   4  2  version (1)
//   6  1  kind: 1 request, 2 reply
//   7  1  flags: bit 0 wants-reply (requests); other bits are sent as 0
//   8  4  message id (int32; a reply repeats the request's)
//  12  4  sequence number (uint32; a reply repeats the request's)
//  16  4  length of the data that follows (uint32, at most kMaxMessageBytes)
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::detail {

constexpr size_t kFrameHeaderBytes = 20;
constexpr uint16_t kFrameVersion = 1;
constexpr uint8_t kFrameRequest = 1;
constexpr uint8_t kFrameReply = 2;
constexpr uint8_t kFlagWantsReply = 1;
constexpr size_t kMaxPortNameBytes = 255;

struct FrameHeader {
    uint8_t kind = 0;
    uint8_t flags = 0;
    int32_t messageId = 0;
    uint32_t sequence = 0;
    uint32_t length = 0;
};

enum class HeaderCheck { kOk, kBadMagic, kBadVersion, kBadKind, kTooLong };

// Writes the 20 header bytes to out.
void encodeHeader(const FrameHeader& header, unsigned char* out);
// Reads 20 header bytes; anything but kOk means the stream cannot be trusted.
HeaderCheck decodeHeader(const unsigned char* in, FrameHeader* header);

// True for a port name of 1 to 255 bytes.
bool isValidPortName(const std::string& name);

// Fills a socket address for `fileName` in the port folder, open as dirFd at
// path `folder`. Falls back to the folder's /proc/self/fd entry when the plain
// path does not fit into sun_path. False when neither fits.
bool portSocketAddress(int dirFd, const std::string& folder, const std::string& fileName, sockaddr_un* addr,
                       socklen_t* length);

// True when the process at the other end of the connected socket runs as the
// effective user of this process.
bool peerIsSameUser(int fd);

using Clock = std::chrono::steady_clock;
// now + seconds, with negative or NaN taken as 0 and huge values capped at one day.
Clock::time_point deadlineAfter(double seconds);
// Whole milliseconds (rounded up) from now to deadline, 0 when it has passed.
int millisUntil(Clock::time_point deadline);

}  // namespace platform::detail
