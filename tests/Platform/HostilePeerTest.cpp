// Peers that break the framing, stall or never read must be dropped while
// every other client goes on being served.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "MessagePort.h"
#include "PortTestSupport.h"

using namespace platform;
using namespace std::chrono_literals;
using porttest::requestFrame;

namespace {

constexpr double kStallLimit = 1.0;
constexpr double kFrameLimit = 2.0;

class HostilePeerTest : public porttest::PortFolderFixture {
protected:
    void SetUp() override {
        LocalPort::setStallLimitForTesting(kStallLimit);
        LocalPort::setFrameLimitForTesting(kFrameLimit);
    }
    void TearDown() override {
        LocalPort::setStallLimitForTesting(5.0);
        LocalPort::setFrameLimitForTesting(30.0);
    }
};

std::string randomBytes(size_t n) {
    std::mt19937 gen(42);
    std::string bytes;
    for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(gen() & 0xff));
    bytes[0] = 'X';  // never the magic
    return bytes;
}

TEST_F(HostilePeerTest, BrokenPeersAreDroppedWhileOthersAreServed) {
    struct Case {
        const char* what;
        std::string bytes;  // what the hostile peer sends before going quiet
    };
    const std::string half = requestFrame(4, 1, true, "hello");
    const Case cases[] = {
        {"half a header, then silence", half.substr(0, 9)},
        {"header, half the data, then silence", half.substr(0, half.size() - 2)},
        {"length above the limit", requestFrame(4, 1, true, "x", kMaxMessageBytes + 1)},
        {"length larger than the data sent", requestFrame(4, 1, true, std::string(10, 'd'), 100)},
        {"length smaller than the data sent", requestFrame(4, 1, true, std::string(30, 'd'), 2)},
        {"random bytes", randomBytes(200)},
        {"wrong version", [] {
             std::string frame = requestFrame(4, 1, true, "v");
             frame[4] = 9;
             return frame;
         }()},
        {"a reply sent to a server", [] {
             std::string frame = requestFrame(4, 1, true, "r");
             frame[6] = 2;
             return frame;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        porttest::ServedPort served("Sturdy", [](int32_t id, const std::string& data) -> std::optional<std::string> {
            if (id == 4) return "re:" + data;
            return std::nullopt;
        });
        ASSERT_TRUE(served.ok()) << served.why();
        const int hostile = porttest::rawConnect("Sturdy");
        ASSERT_GE(hostile, 0);
        ASSERT_TRUE(porttest::sendAll(hostile, c.bytes));

        auto good = RemotePort::connect("Sturdy");
        ASSERT_NE(good, nullptr);
        std::string reply;
        EXPECT_EQ(good->sendRequest(4, "ok", 2, 1.0, 1.0, true, &reply), kPortSuccess);
        EXPECT_EQ(reply, "re:ok");

        EXPECT_TRUE(porttest::waitForClose(hostile, kStallLimit + 3.0)) << "the hostile peer was not dropped";
        close(hostile);
        EXPECT_EQ(good->sendRequest(4, "still", 5, 1.0, 1.0, true, &reply), kPortSuccess);
        EXPECT_TRUE(good->isValid());
    }
}

// Never still for as long as the stall limit, yet never done: a peer that
// declares a large frame and sends it a byte at a time.
TEST_F(HostilePeerTest, PeerThatTricklesAFrameIsDroppedAtTheFrameLimit) {
    porttest::ServedPort served("Patient", [](int32_t, const std::string&) { return std::optional<std::string>(); });
    ASSERT_TRUE(served.ok()) << served.why();
    const int hostile = porttest::rawConnect("Patient");
    ASSERT_GE(hostile, 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(porttest::sendAll(hostile, requestFrame(4, 1, true, "", kMaxMessageBytes)));
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - start < std::chrono::duration<double>(kFrameLimit + 4.0)) {
        // A refused byte also means that the server has closed the connection.
        closed = !porttest::sendAll(hostile, "t") || porttest::waitForClose(hostile, kStallLimit / 4);
    }
    EXPECT_TRUE(closed) << "the trickling peer was not dropped";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::duration<double>(kFrameLimit * 0.9));
    close(hostile);
}

TEST_F(HostilePeerTest, PeerThatNeverReadsItsRepliesIsDropped) {
    const std::string bigReply(512 * 1024, 'r');
    porttest::ServedPort served("Talker", [&](int32_t id, const std::string& data) -> std::optional<std::string> {
        if (id == 9) return bigReply;
        return "re:" + data;
    });
    ASSERT_TRUE(served.ok()) << served.why();
    const int hostile = porttest::rawConnect("Talker");
    ASSERT_GE(hostile, 0);
    const int small = 4096;
    setsockopt(hostile, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    for (uint32_t seq = 1; seq <= 12; ++seq) {
        if (!porttest::sendAll(hostile, requestFrame(9, seq, true, "more"))) break;  // dropped already
    }

    auto good = RemotePort::connect("Talker");
    ASSERT_NE(good, nullptr);
    std::string reply;
    EXPECT_EQ(good->sendRequest(4, "ok", 2, 1.0, 1.0, true, &reply), kPortSuccess);
    EXPECT_EQ(reply, "re:ok");
    // Draining now reads what the kernel holds; a peer still being served
    // would get reply after reply and never see the end.
    EXPECT_TRUE(porttest::waitForClose(hostile, 5.0)) << "the non-reading peer was not dropped";
    close(hostile);
}

}  // namespace
