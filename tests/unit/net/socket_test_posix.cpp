#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "net/socket.hpp"

using namespace std::chrono_literals;

// Waiting for an upload to arrive relies on the count holding what a stalled reader has
// not taken and on reaching 0 once it has; and after shutdownSend the reader must see the
// whole stream end while the reverse direction stays open.
TEST(Socket, UnsentBytesFollowTheReaderAndShutdownSendEndsOnlyOurSide)
{
    Socket listener = Socket::create();
    listener.setReceiveBufferSize(8192);
    listener.bindAndListen(IpAddress::loopback(0), 1);
    Socket sender = Socket::create();
    sender.setSendBufferSize(8192);
    sender.connectWithin(listener.localAddress(), 5s);
    Socket reader = listener.accept();

    // Fill until a pause lets nothing more through: the reader's window is then shut.
    const std::vector<char> chunk(4096, 'x');
    std::size_t sent = 0;
    for (std::size_t before = 1; before != sent;) {
        before = sent;
        Socket::IoResult result;
        while ((result = sender.send(chunk.data(), chunk.size())).status == Socket::IoStatus::done)
            sent += result.count;
        ASSERT_EQ(result.status, Socket::IoStatus::wouldBlock);
        std::this_thread::sleep_for(20ms);
    }
    std::optional<std::size_t> queued = sender.unsentBytes();
    ASSERT_TRUE(queued.has_value());
    EXPECT_GT(*queued, 0u);
    EXPECT_LE(*queued, sent);

    sender.shutdownSend();
    std::size_t received = 0;
    std::vector<char> buffer(65536);
    Socket::IoResult result;
    while ((result = reader.receive(buffer.data(), buffer.size())).status == Socket::IoStatus::done)
        received += result.count;
    EXPECT_EQ(result.status, Socket::IoStatus::closed);
    EXPECT_EQ(received, sent);

    const std::optional<std::size_t> drained(0);
    for (int i = 0; i < 250 && sender.unsentBytes() != drained; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(sender.unsentBytes(), drained);

    ASSERT_EQ(reader.send("k", 1).status, Socket::IoStatus::done);
    sender.setBlocking(true);
    char answer = 0;
    EXPECT_EQ(sender.receive(&answer, 1).status, Socket::IoStatus::done);
    EXPECT_EQ(answer, 'k');
}
