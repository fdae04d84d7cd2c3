// The listener and the connection handling, through clients on the socket: replies byte for
// byte, frame limits, broken connections, many and idle connections, the stop.
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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
  auto pipe = connect_pipe(kConnectWait);
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

// Waits until the large frames being read hold `bytes` of the budget (or a generous while has
// passed); gives whether they did.
bool wait_for_large_bytes_held(std::size_t bytes) {
  const auto give_up = std::chrono::steady_clock::now() + kSettleLimit;
  while (large_request_bytes_held() != bytes) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST_F(ServiceServer, LargeFramesShareOneBudgetAndOneThatDoesNotFitIsToldTheServiceIsBusy) {
  // A budget of 256 KiB and frames of 100 KiB: two are held at once, not three.
  constexpr std::uint32_t kFrame = 100 * 1024;
  restart(ListenerLimits{.request_window = std::chrono::minutes(5), .large_request_budget = 256 * 1024});
  std::string ping = R"({"op":"ping"})";
  ping.resize(kFrame, ' ');

  // Two clients send their length and a part of their payload, and wait: each holds its share
  // from its length field on.
  std::vector<platform::PipeConnection> held;
  for (int i = 0; i < 2; ++i) {
    auto pipe = connect_pipe(kConnectWait);
    ASSERT_TRUE(pipe.has_value());
    ASSERT_TRUE(write_all(*pipe, frame_header(kFrame) + ping.substr(0, 1000)).has_value());
    held.push_back(std::move(*pipe));
  }
  ASSERT_TRUE(wait_for_large_bytes_held(2 * kFrame)) << large_request_bytes_held();

  // The third sends only its length: it is told the service is busy without the service waiting
  // for its payload, and its connection is closed.
  const auto mark = log_mark();
  auto third = connect_pipe(kConnectWait);
  ASSERT_TRUE(third.has_value());
  ASSERT_TRUE(write_all(*third, frame_header(kFrame)).has_value());
  auto busy = receive_frame(*third);
  ASSERT_TRUE(busy.has_value()) << busy.error().display();
  EXPECT_EQ(*busy, err_reply("IPC", "the service is busy: too many large requests at once; try again"));
  std::array<char, 1> more{};
  EXPECT_EQ(third->read_some(more).value_or(1), 0u);
  // A small request never counts: it is answered meanwhile.
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
  EXPECT_EQ(large_request_bytes_held(), 2 * kFrame);

  // The two held ones are answered as usual once their payloads are whole, and give their
  // shares back; then a large frame fits again.
  for (auto& pipe : held) {
    ASSERT_TRUE(write_all(pipe, std::string_view(ping).substr(1000)).has_value());
    auto reply = receive_frame(pipe);
    ASSERT_TRUE(reply.has_value()) << reply.error().display();
    EXPECT_EQ(*reply, kPongReply);
  }
  wait_for_idle_server();
  EXPECT_EQ(large_request_bytes_held(), 0u);
  EXPECT_EQ(send_bytes_and_read(frame_header(kFrame) + ping), kPongReply);
  EXPECT_NE(log_since(mark).find("[ WARN][kavel_lib::ipc::server::win] IPC connection error: the service is busy: "
                                 "too many large requests at once; try again\n"),
            std::string::npos)
      << log_since(mark);
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
    auto pipe = connect_pipe(kConnectWait);
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
    auto pipe = connect_pipe(kConnectWait);
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
  const std::size_t before = open_socket_count();
  for (int i = 0; i < 1000; ++i) {
    auto pipe = connect_pipe(kConnectWait);
    ASSERT_TRUE(pipe.has_value()) << i;
  }
  wait_for_idle_server();
  EXPECT_EQ(open_socket_count(), before);
  EXPECT_EQ(open_connection_count(), 0u);
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
}

TEST_F(ServiceServer, IdleConnectionsNeitherDelayAPingNorLiveLongerThanTheirWindow) {
  // With a window no run comes near, a ping behind 200 idle connections is answered while
  // every one of them still holds its place: it waited for none of them.
  restart(ListenerLimits{.request_window = std::chrono::minutes(5)});
  std::vector<platform::PipeConnection> idle;
  for (int i = 0; i < 200; ++i) {
    auto pipe = connect_pipe(kConnectWait);
    ASSERT_TRUE(pipe.has_value()) << i;
    idle.push_back(std::move(*pipe));
  }
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
  EXPECT_GE(open_connection_count(), 200u);
  idle.clear();
  EXPECT_TRUE(wait_for_open_connection_count(0, kSettleLimit));

  // Each idle one is answered with the time-out and closed, once its window from its accept
  // has passed.
  constexpr auto kWindow = std::chrono::seconds(1);
  restart(ListenerLimits{.request_window = kWindow});
  const auto opened = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    auto pipe = connect_pipe(kConnectWait);
    ASSERT_TRUE(pipe.has_value()) << i;
    idle.push_back(std::move(*pipe));
  }
  const std::string timed_out =
      err_reply("IPC", "This operation returned because the timeout period expired. (0x800705B4)");
  for (auto& pipe : idle) {
    auto reply = receive_frame(pipe);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, timed_out);
    std::array<char, 1> more{};
    EXPECT_EQ(pipe.read_some(more).value_or(1), 0u);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - opened, kWindow);
}

TEST_F(ServiceServer, ConnectionsOverTheLimitAreClosedAtOnce) {
  // The held connections keep their places for longer than any run takes; one more is closed
  // without a reply, where a connection given a place would be answered only when its window
  // ends. No places are reserved here, so the limit is the same for whoever runs the test (the
  // reserve has a test of its own).
  constexpr std::size_t kLimit = 64;
  restart(ListenerLimits{
      .request_window = std::chrono::minutes(5), .max_open_connections = kLimit, .reserved_connections = 0});
  std::vector<platform::PipeConnection> held;
  for (std::size_t i = 0; i < kLimit; ++i) {
    auto pipe = connect_pipe(kConnectWait);
    ASSERT_TRUE(pipe.has_value()) << i;
    held.push_back(std::move(*pipe));
  }
  ASSERT_TRUE(wait_for_open_connection_count(kLimit, kSettleLimit)) << open_connection_count();

  auto extra = connect_pipe(kConnectWait);
  ASSERT_TRUE(extra.has_value());
  extra->set_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(60));
  std::array<char, 4> buffer{};
  auto got = extra->read_some(buffer);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(*got, 0u);

  held.clear();
  EXPECT_TRUE(wait_for_open_connection_count(0, kSettleLimit));
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
}

// Connections that a child process of another user opens and holds until the object goes (or
// release is called). With `then_ping`, the child asks for a ping on one more connection after
// them, and its report is that call's outcome; otherwise the report is "ok" once all are open.
// The child is this program running ServerChild.DISABLED_HoldsConnections.
class ConnectionsHeldByUser {
 public:
  ConnectionsHeldByUser(uid_t uid, std::size_t count, bool then_ping = false) {
    int report[2];
    if (::pipe2(hold_, O_CLOEXEC) != 0) return;
    if (::pipe2(report, O_CLOEXEC) != 0) {
      ::close(hold_[0]);
      ::close(hold_[1]);
      hold_[1] = -1;
      return;
    }
    // The pipes are close-on-exec: only the numbered copies reach the child, and no other
    // child of this process keeps the hold pipe's write end open after its exec.
    child_ = kavel_test::start_child_test_as(
        {.test = "ServerChild.DISABLED_HoldsConnections",
         .env = {{"KAVEL_TEST_CONNECTIONS", std::to_string(count)},
                 {"KAVEL_TEST_THEN_PING", then_ping ? "1" : "0"},
                 {"KAVEL_TEST_REPLY_FD", std::to_string(kChildReplyDescriptor)},
                 {"KAVEL_TEST_HOLD_FD", std::to_string(kChildHoldDescriptor)}},
         .descriptors = {{report[1], kChildReplyDescriptor}, {hold_[0], kChildHoldDescriptor}},
         .uid = uid,
         .gid = static_cast<gid_t>(kavel_test::kUnprivilegedGid),
         .umask = std::nullopt});
    ::close(hold_[0]);
    ::close(report[1]);
    // The child cannot hang on a lock taken before the fork; it closes the report once it has
    // written it, or ends.
    report_ = kavel_test::read_to_end(report[0]);
  }
  ~ConnectionsHeldByUser() { (void)release(); }
  ConnectionsHeldByUser(const ConnectionsHeldByUser&) = delete;
  ConnectionsHeldByUser& operator=(const ConnectionsHeldByUser&) = delete;

  // Whether the child made all its connections.
  [[nodiscard]] bool connected() const { return report_ == "ok"; }
  // What the child reported: "ok", or its ping's outcome.
  [[nodiscard]] const std::string& report() const { return report_; }

  // Lets the child close its connections and end; its wait status (-1 when there was none).
  int release() {
    if (hold_[1] >= 0) {
      ::close(hold_[1]);
      hold_[1] = -1;
    }
    if (child_ <= 0) return -1;
    int status = 0;
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    return status;
  }

 private:
  int hold_[2] = {-1, -1};
  pid_t child_ = -1;
  std::string report_;
};

TEST_F(ServiceServer, UserAtItsCapDoesNotLockOutAnotherUser) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  constexpr std::size_t kTotal = 8;
  constexpr std::size_t kPerUser = 3;
  constexpr uid_t kOtherUser = 4242;
  restart(ListenerLimits{
      .request_window = std::chrono::minutes(5), .max_open_connections = kTotal, .max_connections_per_user = kPerUser});
  wait_for_idle_server();

  // One user opens as many connections as there are places, then asks for a ping on one more.
  // It holds them until released, and reports its ping's outcome.
  ConnectionsHeldByUser first(kavel_test::kUnprivilegedUid, kTotal, true);
  const std::string& first_user = first.report();

  // Its connections past the cap were closed at once, its ping among them; it holds its cap.
  EXPECT_TRUE(first_user.starts_with("error: ")) << first_user;
  EXPECT_EQ(open_connection_count(), kPerUser);
  // Another user is still served, and so is root.
  EXPECT_EQ(call_raw_as_user(R"({"op":"ping"})", kOtherUser), kPongReply);
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);

  const int status = first.release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ServiceServer, RootKeepsAReservedPlaceWhenOtherUsersFillTheRest) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  // Six places for all other users, three per user, and two more for root and the service's
  // own user (this test runs as root, which is also the listener's user).
  constexpr std::size_t kTotal = 6;
  restart(ListenerLimits{.request_window = std::chrono::minutes(5),
                         .max_open_connections = kTotal,
                         .max_connections_per_user = 3,
                         .reserved_connections = 2});

  // Two users fill every place that others may take.
  const ConnectionsHeldByUser first(kavel_test::kUnprivilegedUid, 3);
  const ConnectionsHeldByUser second(4242, 3);
  ASSERT_TRUE(first.connected() && second.connected());
  ASSERT_TRUE(wait_for_open_connection_count(kTotal, kSettleLimit)) << open_connection_count();

  // A third user is closed at once; root is answered.
  EXPECT_TRUE(call_raw_as_user(R"({"op":"ping"})", 4343).starts_with("error: "));
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
  ASSERT_TRUE(wait_for_open_connection_count(kTotal, kSettleLimit)) << open_connection_count();

  // Root too stops at the end of the reserve.
  std::vector<platform::PipeConnection> root_held;
  for (int i = 0; i < 2; ++i) {
    auto pipe = connect_pipe(kConnectWait);
    ASSERT_TRUE(pipe.has_value());
    root_held.push_back(std::move(*pipe));
  }
  ASSERT_TRUE(wait_for_open_connection_count(kTotal + 2, kSettleLimit)) << open_connection_count();
  EXPECT_TRUE(call_raw(R"({"op":"ping"})").starts_with("error: "));
  root_held.clear();
  ASSERT_TRUE(wait_for_open_connection_count(kTotal, kSettleLimit)) << open_connection_count();
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

TEST_F(ServiceServer, SecondListenerOnALiveServiceSaysSoAndNeverListens) {
  // It ends at once with the reason, logged at error level; it neither logs "listening" nor
  // announces itself, and the first one goes on serving.
  const auto mark = log_mark();
  std::atomic<bool> second_running{true};
  bool announced = false;
  const auto second = serve(second_running, {}, [&] { announced = true; });
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error(), "another Polvane Service already serves \\\\.\\pipe\\PolvaneService");
  EXPECT_FALSE(announced);
  const std::string log = log_since(mark);
  EXPECT_NE(log.find("[ERROR][kavel_lib::ipc::server::win] another Polvane Service already serves "
                     "\\\\.\\pipe\\PolvaneService\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("listening"), std::string::npos) << log;
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
}

// ---- child tests: each runs only in a process started by call_raw_as_user or
// ConnectionsHeldByUser, as the user it was started as -------------------------------------

// Sends KAVEL_TEST_PAYLOAD as call_raw does and writes the reply, as call_raw gives it, to the
// descriptor numbered in KAVEL_TEST_REPLY_FD.
TEST(ServerChild, DISABLED_CallsAndWritesTheReply) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs as a child of call_raw_as_user";
  const char* payload = std::getenv("KAVEL_TEST_PAYLOAD");
  const int reply = kavel_test::descriptor_from_env("KAVEL_TEST_REPLY_FD");
  ASSERT_NE(payload, nullptr);
  ASSERT_GE(reply, 0);
  EXPECT_TRUE(kavel_test::write_all_to(reply, call_raw(payload)));
  ::close(reply);
}

// Opens KAVEL_TEST_CONNECTIONS connections, then (with KAVEL_TEST_THEN_PING=1) asks for a ping
// on one more; reports "ok" or the ping's outcome on KAVEL_TEST_REPLY_FD, then holds the
// connections until KAVEL_TEST_HOLD_FD reaches its end. Exits 101 when a connection fails and
// 102 when the report cannot be written.
TEST(ServerChild, DISABLED_HoldsConnections) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs as a child of ConnectionsHeldByUser";
  const char* count_text = std::getenv("KAVEL_TEST_CONNECTIONS");
  const char* then_ping = std::getenv("KAVEL_TEST_THEN_PING");
  const int report = kavel_test::descriptor_from_env("KAVEL_TEST_REPLY_FD");
  const int hold = kavel_test::descriptor_from_env("KAVEL_TEST_HOLD_FD");
  ASSERT_NE(count_text, nullptr);
  ASSERT_GE(report, 0);
  ASSERT_GE(hold, 0);
  std::vector<platform::PipeConnection> held;
  for (std::size_t i = 0, count = std::stoul(count_text); i < count; ++i) {
    auto pipe = connect_pipe(kConnectWait);
    if (!pipe) ::_exit(101);
    held.push_back(std::move(*pipe));
  }
  const std::string outcome =
      then_ping != nullptr && std::string_view(then_ping) == "1" ? call_raw(R"({"op":"ping"})") : "ok";
  if (!kavel_test::write_all_to(report, outcome)) ::_exit(102);
  ::close(report);
  char byte = 0;
  while (::read(hold, &byte, 1) < 0 && errno == EINTR) {
  }
  ::close(hold);
}

}  // namespace
}  // namespace kavel_lib::ipc::server_testing
