#include "ipc/framing.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/client.h"
#include "ipc/pipe_test_server.h"

namespace kavel_lib::ipc {
namespace {

using namespace std::chrono_literals;
using testing::PipeTest;
using testing::TestPipeServer;

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7) % 26);
  return text;
}

std::string header(std::uint32_t length) {
  return std::string{static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
                     static_cast<char>((length >> 16) & 0xFF), static_cast<char>(length >> 24)};
}

void write_raw(platform::PipeConnection& pipe, std::string_view bytes) {
  auto written = write_all(pipe, bytes);
  EXPECT_TRUE(written.has_value());
}

using Framing = PipeTest;

TEST_F(Framing, PingTravelsAsLengthThenJson) {
  std::string received;
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    received.resize(17);
    EXPECT_TRUE(read_exact(pipe, received).has_value());
  });
  auto pipe = connect_pipe(1s);
  ASSERT_TRUE(pipe.has_value());
  ASSERT_TRUE(write_frame(*pipe, *serialize_ipc_request(IpcRequest::Ping{})).has_value());
  server.wait();
  EXPECT_EQ(received, std::string("\x0D\x00\x00\x00", 4) + R"({"op":"ping"})");
}

TEST_F(Framing, EmptyAndLargestPayloadsBothWays) {
  const std::string largest = pattern(kMaxFramePayload);
  std::string at_server;
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    EXPECT_TRUE(send_frame(pipe, "").has_value());
    EXPECT_TRUE(send_frame(pipe, largest).has_value());
    auto got = receive_frame(pipe);
    EXPECT_TRUE(got.has_value());
    if (got) at_server = std::move(*got);
  });
  auto pipe = connect_pipe(1s);
  ASSERT_TRUE(pipe.has_value());
  auto empty = read_frame(*pipe);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  auto big = read_frame(*pipe);
  ASSERT_TRUE(big.has_value()) << big.error().display();
  EXPECT_EQ(big->size(), largest.size());
  EXPECT_TRUE(*big == largest);
  ASSERT_TRUE(write_frame(*pipe, largest).has_value());
  server.wait();
  EXPECT_TRUE(at_server == largest);
}

TEST_F(Framing, WriterRefusesOversizeWithoutWritingAnything) {
  std::size_t bytes_seen = 99;
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    char buffer[16];
    auto count = pipe.read_some(buffer);
    EXPECT_TRUE(count.has_value());
    bytes_seen = count ? *count : 99;
  });
  {
    auto pipe = connect_pipe(1s);
    ASSERT_TRUE(pipe.has_value());
    auto written = write_frame(*pipe, std::string(kMaxFramePayload + 1, 'x'));
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().display(), "IPC protocol error: payload too large");
  }
  server.wait();
  EXPECT_EQ(bytes_seen, 0u);
}

TEST_F(Framing, ReaderRefusesOversizeLengthBeforeReadingOn) {
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    write_raw(pipe, header(kMaxFramePayload + 1) + "abc");
    char buffer[1];
    (void)pipe.read_some(buffer);  // wait for the client to finish
  });
  auto pipe = connect_pipe(1s);
  ASSERT_TRUE(pipe.has_value());
  auto frame = read_frame(*pipe);
  ASSERT_FALSE(frame.has_value());
  EXPECT_EQ(frame.error(), IpcClientError::protocol("payload too large"));
  // The payload's bytes are still there: the reader stopped at the length.
  std::string rest(3, '\0');
  ASSERT_TRUE(read_exact(*pipe, rest).has_value());
  EXPECT_EQ(rest, "abc");
}

TEST_F(Framing, ShortReadsEndWithFailedToFill) {
  for (const std::string& sent : {header(10) + "abcd", std::string("\x05\x00", 2), std::string()}) {
    TestPipeServer server([&](platform::PipeConnection& pipe) { write_raw(pipe, sent); });
    auto pipe = connect_pipe(1s);
    ASSERT_TRUE(pipe.has_value());
    auto frame = read_frame(*pipe);
    ASSERT_FALSE(frame.has_value());
    EXPECT_EQ(frame.error().display(), "IPC I/O error: failed to fill whole buffer");
  }
}

TEST_F(Framing, PiecesThatArriveApartAreJoined) {
  const std::string payload = pattern(200000);
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    const std::string bytes = header(static_cast<std::uint32_t>(payload.size())) + payload;
    // One byte at a time for the length, then uneven pieces.
    const std::size_t cuts[] = {1, 2, 3, 4, 5, 70000, 140000, bytes.size()};
    std::size_t at = 0;
    for (const std::size_t cut : cuts) {
      write_raw(pipe, std::string_view(bytes).substr(at, cut - at));
      at = cut;
      std::this_thread::sleep_for(5ms);
    }
  });
  auto pipe = connect_pipe(1s);
  ASSERT_TRUE(pipe.has_value());
  auto frame = read_frame(*pipe);
  ASSERT_TRUE(frame.has_value());
  EXPECT_TRUE(*frame == payload);
}

TEST_F(Framing, DescriptorRidesWithTheLengthBytes) {
  kavel_test::write_file(dir_ / "f.txt", "xyz");
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    platform::OwnedDescriptor file(::open((dir_ / "f.txt").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(send_frame(pipe, "{}", file.get()).has_value());
  });
  auto pipe = connect_pipe(1s);
  ASSERT_TRUE(pipe.has_value());
  EXPECT_FALSE(pipe->take_received_descriptor().valid());
  auto frame = read_frame(*pipe);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(*frame, "{}");
  auto descriptor = pipe->take_received_descriptor();
  ASSERT_TRUE(descriptor.valid());
  char text[4] = {};
  EXPECT_EQ(::pread(descriptor.get(), text, 3, 0), 3);
  EXPECT_STREQ(text, "xyz");
}

}  // namespace
}  // namespace kavel_lib::ipc
