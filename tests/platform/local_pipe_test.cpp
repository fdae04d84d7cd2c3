#include "platform/local_pipe.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <expected>
#include <filesystem>
#include <latch>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using namespace std::chrono_literals;
using kavel_test::ScopedEnv;
using kavel_test::TempDir;

constexpr std::string_view kName = "\\\\.\\pipe\\KavelTestPipe";

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A socket file at path that nobody listens on any more.
void leave_stale_socket(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  ::close(fd);
}

// The names in a folder.
std::set<std::string> listing(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Every test gets a fresh pipe folder and a watchdog, so nothing can hang the run.
class LocalPipeTest : public ::testing::Test {
 protected:
  void SetUp() override { ::alarm(30); }
  void TearDown() override { ::alarm(0); }

  std::string read_all(PipeConnection& pipe) {
    std::string out;
    char buffer[256];
    for (;;) {
      auto count = pipe.read_some(buffer);
      EXPECT_TRUE(count.has_value());
      if (!count || *count == 0) return out;
      out.append(buffer, *count);
    }
  }

  TempDir dir_;
  ScopedEnv env_{"KAVEL_PIPE_DIR", (dir_ / "pipes").string()};
};

TEST_F(LocalPipeTest, PipeNamesMapToSocketsInThePipeFolder) {
  EXPECT_EQ(pipe_socket_path(kName), dir_ / "pipes" / "KavelTestPipe");
  EXPECT_EQ(pipe_socket_path("\\\\.\\PIPE\\PolvaneService"), dir_ / "pipes" / "PolvaneService");
  EXPECT_FALSE(pipe_socket_path("PolvaneService").has_value());
  EXPECT_FALSE(pipe_socket_path("\\\\.\\pipe\\").has_value());
  EXPECT_FALSE(pipe_socket_path("\\\\.\\pipe\\..").has_value());
  EXPECT_FALSE(pipe_socket_path("\\\\.\\pipe\\a/b").has_value());
  EXPECT_FALSE(pipe_socket_path("\\\\.\\pipe\\a\\b").has_value());
  ScopedEnv unset("KAVEL_PIPE_DIR", std::nullopt);
  EXPECT_EQ(pipe_socket_path(kName), std::filesystem::path("/run/kavel/KavelTestPipe"));
}

TEST_F(LocalPipeTest, ServerAndClientTalkBothWays) {
  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value()) << server.error().display();
  struct stat info {};
  ASSERT_EQ(::stat(server->socket_path().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);

  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value()) << client.error().display();
  auto accepted = server->accept_within(5s);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());
  PipeConnection& peer = **accepted;

  ASSERT_EQ(*client->write_some("hello"), 5u);
  char buffer[16];
  ASSERT_EQ(*peer.read_some(buffer), 5u);
  EXPECT_EQ(std::string_view(buffer, 5), "hello");
  ASSERT_EQ(*peer.write_some("back"), 4u);
  EXPECT_TRUE(peer.flush().has_value());
  peer.close();
  EXPECT_EQ(read_all(*client), "back");
}

TEST_F(LocalPipeTest, NoSocketMeansNobodyServesTheName) {
  auto client = PipeConnection::connect(kName);
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error().code, win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(wait_named_pipe(kName, 100ms).error().code, win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(PipeConnection::connect("not a pipe name").error().code, win::ERROR_FILE_NOT_FOUND);
}

TEST_F(LocalPipeTest, StaleSocketRefusesClientsAndIsReplacedByTheNextServer) {
  std::filesystem::create_directories(dir_ / "pipes");
  leave_stale_socket(dir_ / "pipes" / "KavelTestPipe");
  EXPECT_EQ(PipeConnection::connect(kName).error().code, win::ERROR_FILE_NOT_FOUND);

  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value()) << server.error().display();
  auto client = PipeConnection::connect(kName);
  EXPECT_TRUE(client.has_value());
}

TEST_F(LocalPipeTest, LiveSocketAndOtherFilesAreNotReplaced) {
  auto first = PipeServer::bind(kName);
  ASSERT_TRUE(first.has_value());
  auto second = PipeServer::bind(kName);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().reason, PipeBindError::Reason::Served);
  EXPECT_EQ(second.error().error.code, win::ERROR_PIPE_BUSY);
  // The first server still serves.
  EXPECT_TRUE(PipeConnection::connect(kName).has_value());

  const auto other = kavel_test::TempDir();
  ScopedEnv env("KAVEL_PIPE_DIR", other.path().string());
  kavel_test::write_file(other / "KavelTestPipe", "data");
  auto refused = PipeServer::bind(kName);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().reason, PipeBindError::Reason::NotASocket);
  EXPECT_EQ(refused.error().error.code, win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(kavel_test::read_file(other / "KavelTestPipe"), "data");
}

TEST_F(LocalPipeTest, ServersStartingTogetherLeaveExactlyOneServing) {
  // The name appears only once its socket listens, and is taken without replacing anything:
  // of servers that start at the same moment, with or without a stale socket in the way, one
  // serves and every other finds it alive.
  constexpr int kServers = 8;
  std::filesystem::create_directories(dir_ / "pipes");
  for (int round = 0; round < 40; ++round) {
    if (round % 2 == 1) leave_stale_socket(dir_ / "pipes" / "KavelTestPipe");
    std::vector<std::optional<std::expected<PipeServer, PipeBindError>>> results(kServers);
    std::latch start(kServers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kServers; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        results[static_cast<std::size_t>(i)] = PipeServer::bind(kName);
      });
    }
    for (auto& thread : threads) thread.join();

    PipeServer* serving = nullptr;
    int served_elsewhere = 0;
    for (auto& result : results) {
      if (result->has_value()) {
        EXPECT_EQ(serving, nullptr) << "round " << round << ": a second server took the name";
        serving = &**result;
      } else if (result->error().reason == PipeBindError::Reason::Served) {
        ++served_elsewhere;
      }
    }
    ASSERT_NE(serving, nullptr) << "round " << round;
    EXPECT_EQ(served_elsewhere, kServers - 1) << "round " << round;
    // The client reaches the server that holds the name.
    auto client = PipeConnection::connect(kName);
    ASSERT_TRUE(client.has_value()) << "round " << round;
    auto accepted = serving->accept_within(5s);
    ASSERT_TRUE(accepted.has_value() && accepted->has_value()) << "round " << round;
    results.clear();
    EXPECT_FALSE(std::filesystem::exists(dir_ / "pipes" / "KavelTestPipe")) << "round " << round;
  }
}

TEST_F(LocalPipeTest, PipeFolderThatOthersCouldChangeIsRefused) {
  // The folder is made, when missing, so that only its owner may write in it, whatever the umask.
  const mode_t previous = ::umask(0);
  auto made = PipeServer::bind(kName);
  ::umask(previous);
  ASSERT_TRUE(made.has_value()) << made.error().display();
  struct stat info {};
  ASSERT_EQ(::lstat((dir_ / "pipes").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  made = std::unexpected(PipeBindError{});
  const auto before = listing(dir_ / "pipes");
  EXPECT_FALSE(before.contains("KavelTestPipe"));

  // Group or others may write: refused, and nothing is made there.
  for (const auto mode : {std::filesystem::perms::all, std::filesystem::perms::owner_all |
                                                           std::filesystem::perms::group_all |
                                                           std::filesystem::perms::others_read |
                                                           std::filesystem::perms::others_exec}) {
    std::filesystem::permissions(dir_ / "pipes", mode);
    auto refused = PipeServer::bind(kName);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().reason, PipeBindError::Reason::UnsafeFolder);
    EXPECT_EQ(listing(dir_ / "pipes"), before);
  }

  // A link in the folder's place, even to a sound folder.
  std::filesystem::permissions(dir_ / "pipes", std::filesystem::perms::owner_all);
  std::filesystem::rename(dir_ / "pipes", dir_ / "real");
  std::filesystem::create_directory_symlink(dir_ / "real", dir_ / "pipes");
  auto linked = PipeServer::bind(kName);
  ASSERT_FALSE(linked.has_value());
  EXPECT_EQ(linked.error().reason, PipeBindError::Reason::UnsafeFolder);
  EXPECT_EQ(listing(dir_ / "real"), before);
}

TEST_F(LocalPipeTest, PipeFolderOfAnotherUserIsRefused) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  std::filesystem::create_directories(dir_ / "pipes");
  ASSERT_EQ(::chown((dir_ / "pipes").c_str(), kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedGid), 0);
  auto refused = PipeServer::bind(kName);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().reason, PipeBindError::Reason::UnsafeFolder);
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "pipes"));
}

TEST_F(LocalPipeTest, ServerRemovesOnlyItsOwnSocket) {
  std::filesystem::path path;
  {
    auto server = PipeServer::bind(kName);
    ASSERT_TRUE(server.has_value());
    path = server->socket_path();
    PipeServer moved = std::move(*server);
    EXPECT_TRUE(std::filesystem::exists(path));
  }
  EXPECT_FALSE(std::filesystem::exists(path));

  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value());
  // Someone else's socket took the name: closing must leave it alone.
  std::filesystem::remove(path);
  leave_stale_socket(path);
  *server = PipeServer();
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(LocalPipeTest, FullQueueIsBusyNotAbsent) {
  auto server = PipeServer::bind(kName, 0);
  ASSERT_TRUE(server.has_value());
  std::vector<PipeConnection> waiting;
  std::optional<WinError> failure;
  for (int i = 0; i < 64 && !failure; ++i) {
    auto client = PipeConnection::connect(kName);
    if (client) {
      waiting.push_back(std::move(*client));
    } else {
      failure = client.error();
    }
  }
  ASSERT_TRUE(failure.has_value()) << "the queue never filled";
  EXPECT_EQ(failure->code, win::ERROR_PIPE_BUSY);
  // The name is served: waiting for an instance succeeds (the caller then tries again).
  EXPECT_TRUE(wait_named_pipe(kName, 50ms).has_value());
  // Taking one client off the queue makes room.
  auto accepted = server->accept_within(5s);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());
  EXPECT_TRUE(PipeConnection::connect(kName).has_value());
}

TEST_F(LocalPipeTest, AcceptWithinGivesNothingWhenNoClientCame) {
  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value());
  auto accepted = server->accept_within(50ms);
  ASSERT_TRUE(accepted.has_value());
  EXPECT_FALSE(accepted->has_value());
}

TEST_F(LocalPipeTest, DescriptorTravelsWithTheBytes) {
  kavel_test::write_file(dir_ / "file.bin", "contents of the file");
  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value());
  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value());
  auto accepted = server->accept_within(5s);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());

  {
    const int file = ::open((dir_ / "file.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    ASSERT_EQ(*(*accepted)->write_some("abcd", file), 4u);
    ::close(file);  // the sender keeps its own copy
  }
  // Read the bytes in two pieces: the descriptor comes with the first.
  char buffer[2];
  ASSERT_EQ(*client->read_some(buffer), 2u);
  OwnedDescriptor received = client->take_received_descriptor();
  ASSERT_TRUE(received.valid());
  EXPECT_FALSE(client->take_received_descriptor().valid());
  EXPECT_EQ(::fcntl(received.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  char text[64] = {};
  ASSERT_EQ(::pread(received.get(), text, sizeof(text), 0), 20);
  EXPECT_STREQ(text, "contents of the file");
}

// Sends `count` fresh descriptors with one byte from a raw socket.
void send_descriptors(int socket_fd, int count) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) fds.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  char byte = 'x';
  iovec io{&byte, 1};
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()), 0);
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
  std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
  ASSERT_EQ(::sendmsg(socket_fd, &message, 0), 1);
  for (const int fd : fds) ::close(fd);
}

TEST_F(LocalPipeTest, MoreThanOneDescriptorInAMessageIsRefusedAndNothingLeaks) {
  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value());
  for (const int count : {2, 3, 8}) {
    // A raw client that sends several descriptors at once.
    const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, server->socket_path().c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    auto accepted = server->accept_within(5s);
    ASSERT_TRUE(accepted.has_value() && accepted->has_value());

    send_descriptors(raw, count);
    ::close(raw);
    // What is in flight sits in the socket, not in this process's table.
    const std::size_t before = open_descriptor_count();
    char buffer[4];
    auto read = (*accepted)->read_some(buffer);
    ASSERT_FALSE(read.has_value()) << count;
    EXPECT_EQ(read.error().kind(), OsErrorKind::InvalidData);
    EXPECT_FALSE((*accepted)->take_received_descriptor().valid());
    EXPECT_EQ(open_descriptor_count(), before) << count;
  }
}

TEST_F(LocalPipeTest, OnlyTheFirstDescriptorOfAConnectionIsKept) {
  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value());
  const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, server->socket_path().c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  auto accepted = server->accept_within(5s);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());
  send_descriptors(raw, 1);
  send_descriptors(raw, 1);
  ::close(raw);
  const std::size_t before = open_descriptor_count();
  char buffer[1];
  ASSERT_EQ(*(*accepted)->read_some(buffer), 1u);
  ASSERT_EQ(*(*accepted)->read_some(buffer), 1u);
  EXPECT_EQ(open_descriptor_count(), before + 1);
  EXPECT_TRUE((*accepted)->take_received_descriptor().valid());
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(LocalPipeTest, PeerThatLeavesWithUnreadBytesEndsTheData) {
  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value());
  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value());
  auto accepted = server->accept_within(5s);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());
  ASSERT_TRUE(client->write_some("request the server never reads").has_value());
  ASSERT_EQ(*(*accepted)->write_some("abcd"), 4u);
  (*accepted)->close();  // closing with unread bytes resets the connection
  // The bytes sent before come through, then the end of the data (not an error).
  EXPECT_EQ(read_all(*client), "abcd");
}

TEST_F(LocalPipeTest, WritingToAClosedPeerFailsWithoutASignal) {
  auto server = PipeServer::bind(kName);
  ASSERT_TRUE(server.has_value());
  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value());
  auto accepted = server->accept_within(5s);
  ASSERT_TRUE(accepted.has_value() && accepted->has_value());
  (*accepted)->close();
  auto written = client->write_some("x");
  ASSERT_FALSE(written.has_value());  // still alive: no SIGPIPE
  EXPECT_EQ(written.error().code(), win::ERROR_NO_DATA);
  EXPECT_EQ(written.error().display(), "The pipe is being closed. (os error 232)");
}

TEST_F(LocalPipeTest, ClosedConnectionRefusesUse) {
  PipeConnection none;
  char buffer[1];
  EXPECT_EQ(none.read_some(buffer).error().code(), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(none.write_some("x").error().code(), win::ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace kavel_lib::platform
