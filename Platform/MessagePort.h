// Named message ports between processes of one user, on AF_UNIX stream
// sockets in the per-user port folder (PortFolder.h). The wire framing is in
// docs/protocol.md.
//
// A LocalPort receives requests (a 32-bit id and bytes) and may answer each
// with reply bytes; its callback runs on the thread of the run loop that the
// port was added to. A RemotePort sends requests to a named LocalPort of
// another (or the same) process and learns when that process goes away.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "RunLoop.h"

namespace platform {

// Status codes of RemotePort::sendRequest.
enum PortStatus : int {
    kPortSuccess = 0,
    kPortSendTimeout = -1,
    kPortReceiveTimeout = -2,
    kPortIsInvalid = -3,
    kPortTransportError = -4,
    kPortBecameInvalid = -5,
};

// Largest data block of one request or reply, in bytes.
constexpr uint32_t kMaxMessageBytes = 1u << 20;

class LocalPort {
public:
    // Returns the reply bytes, or nullopt for no reply.
    using Callback = std::function<std::optional<std::string>(int32_t messageId, const std::string& data)>;

    // Serves `name` (1 to 255 bytes). Returns null when a live process
    // already serves the name, or when the port cannot be made (see errno-like
    // detail in *why when given). A socket file left by a dead server does
    // not block creation.
    static std::unique_ptr<LocalPort> create(const std::string& name, Callback cb, std::string* why = nullptr);
    ~LocalPort();  // invalidates

    // Starts serving on `loop`: the callback runs on that loop's thread.
    bool addToRunLoop(RunLoop& loop);
    // Stops serving on the loop it was added to (no-op when not added).
    // Connections stay open and are served again by addToRunLoop().
    void removeFromRunLoop();
    // Closes the port and every connection to it; peers see it go invalid.
    // After this the name is free for another server.
    void invalidate();
    bool isValid() const;
    const std::string& name() const;

    // A connection that stops in the middle of a frame for this long is
    // dropped (5 seconds unless changed). Only tests change it, before the
    // port is added to a run loop.
    static void setStallLimitForTesting(double seconds);
    // A frame must arrive whole within this long of its first byte (30
    // seconds unless changed), however steadily its bytes come; else the
    // connection is dropped. Only tests change it, like the stall limit.
    static void setFrameLimitForTesting(double seconds);

    LocalPort(const LocalPort&) = delete;
    LocalPort& operator=(const LocalPort&) = delete;

private:
    struct Impl;
    explicit LocalPort(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class RemotePort {
public:
    // How long connect() waits, by default, for room in the server's queue
    // of new connections.
    static constexpr double kDefaultConnectSeconds = 2.0;

    // Connects to the port served under `name`; null when none serves it,
    // it belongs to another user, or its queue of new connections stays
    // full for `timeLimitSeconds` (0 or less: not waited for at all).
    static std::shared_ptr<RemotePort> connect(const std::string& name,
                                               double timeLimitSeconds = kDefaultConnectSeconds);
    ~RemotePort();  // invalidates (without running the callback)

    // Sends a request. With wantReply, waits for the reply and stores it in
    // *reply when reply is not null (empty when the server had no reply
    // bytes). Times are in seconds. Safe to call from several threads at once
    // (requests go out one at a time; the wait for the turn of a request
    // counts towards its send time-out). Returns a PortStatus; a send time-out
    // after part of the frame went out also invalidates the port, and a
    // reply that arrives after its receive time-out is dropped.
    // data longer than kMaxMessageBytes gives kPortTransportError.
    int sendRequest(int32_t messageId, const void* data, size_t length, double sendTimeout,
                    double receiveTimeout, bool wantReply, std::string* reply = nullptr);

    // Installs the callback run on `loop`'s thread, once, when the peer goes
    // away (process exit or crash, or its port is invalidated) or this port
    // is invalidated by invalidate(). Install at most once. The callback is
    // always posted to the loop, never run inside the call that found the
    // port invalid (so callers may hold locks that it takes); on a port that
    // is already invalid it is posted at once. It does not run once the
    // RemotePort is destroyed.
    void setInvalidationCallback(RunLoop& loop, std::function<void()> cb);

    bool isValid() const;
    // Marks the port invalid, closes the connection and runs the callback.
    void invalidate();
    const std::string& name() const;
    // The process id of the process that serves the port (the one that
    // made its listening socket), as the system reported it on connecting;
    // 0 or less when the system could not tell.
    pid_t peerPid() const;

    RemotePort(const RemotePort&) = delete;
    RemotePort& operator=(const RemotePort&) = delete;

private:
    struct Impl;
    explicit RemotePort(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
