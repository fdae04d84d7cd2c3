// The listener and the connection handling, through clients on the socket: replies byte for
// byte, frame limits, broken connections, many and idle connections, the stop.
#include <sys/socket.h>

#include <array>
#include <vector>

#include "ipc/request_handler.h"
#include "server_fixture.h"

namespace kavel_lib::ipc::server_testing {
namespace {

std::string frame_header(std::uint32_t length) {
  return std::string{static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
                     static_cast<char>((length >> 16) & 0xFF), static_cast<char>((length >> 24) & 0xFF)};
}

// Connects, writes raw bytes, and reads the reply frame (or the error text).
std::string send_bytes_and_read(std::string_view bytes) {
  auto pipe = connect_pipe(std::chrono::seconds(3));
  if (!pipe) return "error: " + pipe.error().display();
  if (auto sent = write_all(*pipe, bytes); !sent) return "error: " + sent.error().display();
  auto reply = receive_frame(*pipe);
  if (!reply) return "error: " + reply.error().display();
  return *reply;
}

using ServiceServer = ServerTest;

TEST_F(ServiceServer, PingAndStatusRepliesAreExact) {
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
  const std::string elevated = ::geteuid() == 0 ? "true" : "false";
  EXPECT_EQ(call_raw(R"({"op":"status"})"),
            R"({"status":"ok","data":{"elevated":)" + elevated + R"(,"protocolVersion":1,"serviceVersion":"1.0.0"}})");
}

TEST_F(ServiceServer, StartLineIsLoggedAtInfo) {
  EXPECT_NE(read_text(test_log_path()).find(
                "[ INFO][kavel_lib::ipc::server::win] Polvane Service listening on \\\\.\\pipe\\PolvaneService\n"),
            std::string::npos);
}

TEST_F(ServiceServer, UnknownOperationIsAnIpcBadRequest) {
  const auto mark = log_mark();
  const std::string reply = call_raw(R"({"op":"unknown"})");
  EXPECT_TRUE(reply.starts_with(R"({"status":"err","code":"IPC","message":"bad request: )")) << reply;
  EXPECT_NE(log_since(mark).find("[ WARN][kavel_lib::ipc::server::win] IPC connection error: bad request: "),
            std::string::npos);
}

TEST_F(ServiceServer, SimpleRequestHandlerRefusesOtherOperations) {
  const IpcRequest request = IpcRequest::OpenDevice{"\\\\.\\C:", 1};
  EXPECT_EQ(handle_simple_request(request),
            IpcResponse(IpcResponse::Err{"PROTOCOL", "request must use connection handler"}));
}

TEST_F(ServiceServer, LengthFieldOverTheLimitIsRefusedBeforeThePayload) {
  // No payload follows: the reply comes without the service waiting for one.
  EXPECT_EQ(send_bytes_and_read(frame_header(0x1000001)), err_reply("IPC", "payload too large"));
}

TEST_F(ServiceServer, PayloadOfExactlyTheLimitIsRead) {
  std::string payload = R"({"op":"ping"})";
  payload.resize(0x1000000, ' ');
  EXPECT_EQ(send_bytes_and_read(frame_header(0x1000000) + payload), kPongReply);
}

TEST_F(ServiceServer, ValuesAsLargeAsAFrameAreQuotedInPartSoTheReplyFits) {
  const std::string cut = std::string(256, 'a') + "\u2026";
  // A refusal that quotes the path.
  const std::string path(0x1000000 - 64, 'a');
  const std::string request = R"({"op":"open_device","path":")" + path + R"(","client_pid":1})";
  ASSERT_LE(request.size(), 0x1000000u);
  EXPECT_EQ(call_raw(request), err_reply("OPEN", "device path not allowed: " + cut));
  // A request that is one string filling the frame: the decode error quotes its start, in the
  // reply and in the one log line.
  const auto mark = log_mark();
  const std::string error = "bad request: invalid type: string \"" + cut +
                            "\", expected internally tagged enum IpcRequest at line 1 column 16777216";
  EXPECT_EQ(call_raw("\"" + std::string(0x1000000 - 2, 'a') + "\""), err_reply("IPC", error));
  wait_for_idle_server();
  EXPECT_EQ(log_since(mark).substr(log_since(mark).find("]["), std::string::npos),
            "][ WARN][kavel_lib::ipc::server::win] IPC connection error: " + error + "\n");
}

TEST_F(ServiceServer, ClientThatClosesAtOnceCostsOneWarnLine) {
  const auto mark = log_mark();
  {
    auto pipe = connect_pipe(std::chrono::seconds(3));
    ASSERT_TRUE(pipe.has_value());
  }
  wait_for_idle_server();
  const std::string log = log_since(mark);
  EXPECT_NE(log.find("[ WARN][kavel_lib::ipc::server::win] IPC connection error: unexpected EOF\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
}

TEST_F(ServiceServer, ClientThatHangsUpBeforeTheReplyDoesNotEndTheService) {
  // Nothing here ignores SIGPIPE: a write that raised it would end this test program.
  const std::string request = R"({"op":"open_device","path":")" + std::string(1 << 20, 'b') + R"(","client_pid":1})";
  for (int i = 0; i < 20; ++i) {
    auto pipe = connect_pipe(std::chrono::seconds(3));
    ASSERT_TRUE(pipe.has_value());
    ASSERT_TRUE(send_frame(*pipe, request).has_value());
    pipe->close();
  }
  wait_for_idle_server();
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
}

TEST_F(ServiceServer, ThousandConnectAndCloseLeaveNoDescriptorBehind) {
  ASSERT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
  wait_for_idle_server();
  const std::size_t before = open_descriptor_count();
  for (int i = 0; i < 1000; ++i) {
    auto pipe = connect_pipe(std::chrono::seconds(3));
    ASSERT_TRUE(pipe.has_value()) << i;
  }
  wait_for_idle_server();
  EXPECT_EQ(open_descriptor_count(), before);
  EXPECT_EQ(open_connection_count(), 0u);
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
}

TEST_F(ServiceServer, IdleConnectionsNeitherDelayAPingNorLiveLongerThanTheirWindow) {
  std::vector<platform::PipeConnection> idle;
  for (int i = 0; i < 200; ++i) {
    auto pipe = connect_pipe(std::chrono::seconds(3));
    ASSERT_TRUE(pipe.has_value()) << i;
    idle.push_back(std::move(*pipe));
  }
  const auto opened = std::chrono::steady_clock::now();
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
  EXPECT_LT(std::chrono::steady_clock::now() - opened, std::chrono::seconds(5));

  // Each idle one is answered with the time-out and closed, ten seconds after its accept.
  const std::string timed_out =
      err_reply("IPC", "This operation returned because the timeout period expired. (0x800705B4)");
  for (auto& pipe : idle) {
    auto reply = receive_frame(pipe);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, timed_out);
    std::array<char, 1> more{};
    EXPECT_EQ(pipe.read_some(more).value_or(1), 0u);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(9500));
}

TEST_F(ServiceServer, ConnectionsOverTheLimitAreClosedAtOnce) {
  // Both ends of every connection live in this process.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlim_t wanted = 2 * kMaxOpenConnections + 256;
  if (limit.rlim_cur < wanted) {
    if (limit.rlim_max < wanted) GTEST_SKIP() << "the descriptor limit is below " << wanted;
    limit.rlim_cur = wanted;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  std::vector<platform::PipeConnection> held;
  for (std::size_t i = 0; i < kMaxOpenConnections; ++i) {
    auto pipe = connect_pipe(std::chrono::seconds(3));
    ASSERT_TRUE(pipe.has_value()) << i;
    held.push_back(std::move(*pipe));
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  while (open_connection_count() < kMaxOpenConnections && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(open_connection_count(), kMaxOpenConnections);

  // One more is closed without a reply, well before any request window ends.
  auto extra = connect_pipe(std::chrono::seconds(3));
  ASSERT_TRUE(extra.has_value());
  extra->set_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  std::array<char, 4> buffer{};
  auto got = extra->read_some(buffer);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(*got, 0u);

  held.clear();
  wait_for_idle_server();
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
}

TEST(ServiceServerStop, FlagClearedBeforeTheFirstLookStopsTheListener) {
  kavel_test::TempDir dir;
  kavel_test::ScopedEnv env("KAVEL_PIPE_DIR", dir.path().string());
  std::atomic<bool> running{false};
  EXPECT_TRUE(serve(running).has_value());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "PolvaneService"));
}

TEST_F(ServiceServer, StoppedListenerTakesNoFurtherClient) {
  stop();
  auto pipe = platform::PipeConnection::connect(kServicePipeName);
  ASSERT_FALSE(pipe.has_value());
  EXPECT_EQ(pipe.error().code, platform::win::ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceServer, ListenerWaitsForALiveServiceToGoAndThenTakesOver) {
  // A second listener finds the socket served and keeps trying; once the first stops it binds.
  std::atomic<bool> second_running{true};
  std::expected<void, std::string> second_result;
  std::thread second([&] { second_result = serve(second_running); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop();
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string reply;
  while (std::chrono::steady_clock::now() < give_up) {
    reply = call_raw(R"({"op":"ping"})");
    if (reply == kPongReply) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(reply, kPongReply);
  second_running = false;
  second.join();
  EXPECT_TRUE(second_result.has_value());
}

}  // namespace
}  // namespace kavel_lib::ipc::server_testing
