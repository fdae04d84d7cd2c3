// The built PolvaneService, run as a program: the console road as root and as an
// unprivileged user (refused and accepted elevation through a stand-in helper), the shell
// start's fallback, and the service road under a stand-in for systemd's notification socket
// with SIGTERM as the stop, also when it comes before the listener's socket exists or while a
// tool runs.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/client.h"
#include "ipc/messages.h"
#include "service/program_runner.h"
#include "support/notify_socket.h"
#include "support/process_watch.h"
#include "support/test_env.h"

namespace kavel_lib::service {
namespace {

using kavel_test::NotifySocket;
using kavel_test::ProgramRun;
using kavel_test::ScopedEnv;
using kavel_test::TempDir;
using namespace std::chrono_literals;

// How long a wait for the program's next step may take before the test gives up: long, since a
// sanitizer build on a busy machine starts a program slowly; a passing run never waits it out.
constexpr auto kLimit = 60s;

const std::string kBannerFalse =
    "Polvane Service is running (elevated=false). Keep this window open while using the app.\n";
const std::string kBannerTrue =
    "Polvane Service is running (elevated=true). Keep this window open while using the app.\n";
const std::string kPipeLine = "Pipe: \\\\.\\pipe\\PolvaneService\n";
const std::string kAsking =
    "Polvane Service needs administrator for raw volume access.\nRequesting elevation (UAC)\u2026\n";
const std::string kFallback =
    "Not started as Windows Service (The service process could not connect to the service controller. "
    "(0x80070427)); running IPC server in console mode.\n";

class ServiceProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = kavel_test::program_path("PolvaneService").string();
    // Open to the unprivileged user too: it makes the socket folder and the log folder here.
    ::chmod(dir_.path().c_str(), 0777);
    pipe_env_ = std::make_unique<ScopedEnv>("KAVEL_PIPE_DIR", pipe_dir().string());
  }

  [[nodiscard]] std::filesystem::path pipe_dir() const { return dir_ / "pipe"; }
  [[nodiscard]] std::filesystem::path socket_path() const { return pipe_dir() / "PolvaneService"; }
  [[nodiscard]] std::filesystem::path data_dir() const { return dir_ / "data"; }
  [[nodiscard]] std::filesystem::path helper_runs() const { return dir_ / "helper-runs"; }

  std::vector<std::string> env(std::vector<std::string> more = {}) const {
    more.push_back("KAVEL_PIPE_DIR=" + pipe_dir().string());
    more.push_back("XDG_DATA_HOME=" + data_dir().string());
    return more;
  }

  std::unique_ptr<ProgramRun> start(std::vector<std::string> arguments, const std::vector<std::string>& environment,
                                    bool unprivileged = false, const std::string& output = "output") {
    std::vector<std::string> command;
    if (unprivileged) {
      command = {"setpriv", "--reuid=" + std::to_string(kavel_test::kUnprivilegedUid),
                 "--regid=" + std::to_string(kavel_test::kUnprivilegedGid), "--clear-groups"};
    }
    command.push_back(program_);
    command.insert(command.end(), arguments.begin(), arguments.end());
    auto run = std::make_unique<ProgramRun>(command, environment, dir_ / output);
    EXPECT_TRUE(run->started());
    return run;
  }

  // A stand-in for sudo: logs each run's arguments; answers the prompt with `prompt_status`;
  // runs the elevated copy in its own place (so its number is the copy's), noting the number.
  std::string helper(int prompt_status) {
    const auto path = kavel_test::write_script(dir_ / "helper", "echo \"$*\" >> '" + helper_runs().string() +
                                                                  "'\n"
                                                                  "if [ \"$1\" = \"-v\" ]; then exit " +
                                                                  std::to_string(prompt_status) +
                                                                  "; fi\n"
                                                                  "echo $$ > '" +
                                                                  (dir_ / "copy-pid").string() +
                                                                  "'\n"
                                                                  "exec \"$@\"");
    ::chmod(path.c_str(), 0755);
    return path.string();
  }

  // Why the unprivileged user cannot run the program here, or nothing.
  std::optional<std::string> unprivileged_missing() {
    if (auto why = kavel_test::setpriv_missing()) return why;
    const auto probe = kavel_test::run_command("setpriv --reuid=" + std::to_string(kavel_test::kUnprivilegedUid) +
                                               " --regid=" + std::to_string(kavel_test::kUnprivilegedGid) +
                                               " --clear-groups test -x " + kavel_test::shell_quote(program_));
    if (probe.status != 0) return "the unprivileged user cannot run " + program_;
    return std::nullopt;
  }

  // Pings until the service answers; gives whether it did within `limit`.
  static bool answers_ping(std::chrono::milliseconds limit = kLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
      const auto reply = ipc::ipc_call(ipc::IpcRequest{ipc::IpcRequest::Ping{}}, 200ms);
      if (reply) return reply->data == nlohmann::json::parse(R"({"pong":true,"protocolVersion":1})");
      std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  static std::optional<bool> reported_elevation() {
    const auto reply = ipc::ipc_call(ipc::IpcRequest{ipc::IpcRequest::Status{}}, 3s);
    if (!reply) return std::nullopt;
    const auto status = ipc::service_status_from_value(reply->data);
    if (!status) return std::nullopt;
    return status->elevated;
  }

  [[nodiscard]] std::string log_text() const { return kavel_test::read_file(data_dir() / "Polvane" / "log" / "app.log"); }

  TempDir dir_;
  std::string program_;
  std::unique_ptr<ScopedEnv> pipe_env_;
};

// ---- console road --------------------------------------------------------------------------

TEST_F(ServiceProgram, ConsoleAsRootServesElevatedWithoutAsking) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  auto run = start({"--console"}, env());
  ASSERT_TRUE(run->wait_output(kPipeLine, kLimit)) << run->output();
  ASSERT_TRUE(answers_ping());
  EXPECT_EQ(reported_elevation(), std::optional<bool>(true));
  // No title escape either: the output is a file, not a terminal.
  EXPECT_EQ(run->output(), kBannerTrue + kPipeLine);
  EXPECT_NE(log_text().find("[PolvaneService] PolvaneService IPC listening (console mode, elevated=true)"),
            std::string::npos)
      << log_text();
  // Console mode keeps the default SIGTERM: the process simply ends.
  run->signal(SIGTERM);
  EXPECT_TRUE(kavel_test::killed_by(run->wait(kLimit), SIGTERM));
}

TEST_F(ServiceProgram, ShellStartWithoutSystemdFallsBackToConsole) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  // No switch at all, and a switch in another case, which is no switch.
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, std::vector<std::string>{"--Console"}}) {
    SCOPED_TRACE(arguments.empty() ? "no switch" : arguments[0]);
    auto run = start(arguments, env());
    ASSERT_TRUE(run->wait_output(kPipeLine, kLimit)) << run->output();
    EXPECT_EQ(run->output(), kFallback + kBannerTrue + kPipeLine);
    EXPECT_TRUE(answers_ping());
    run->signal(SIGTERM);
    EXPECT_TRUE(kavel_test::killed_by(run->wait(kLimit), SIGTERM));
  }
}

TEST_F(ServiceProgram, UnprivilegedRefusedElevationServesUnelevated) {
  if (auto why = unprivileged_missing()) GTEST_SKIP() << *why;
  auto run = start({"--console"}, env({"KAVEL_ELEVATE=" + helper(1)}), true);
  ASSERT_TRUE(run->wait_output(kPipeLine, kLimit)) << run->output();
  EXPECT_EQ(run->output(), kAsking +
                               "UAC elevation failed: ShellExecuteEx runas failed: The operation was canceled by "
                               "the user. (0x800704C7)\n" +
                               kBannerFalse + kPipeLine);
  ASSERT_TRUE(answers_ping());
  EXPECT_EQ(reported_elevation(), std::optional<bool>(false));
  // The prompt was asked for once, and no copy was started.
  EXPECT_EQ(kavel_test::read_file(helper_runs()), "-v\n");
  run->signal(SIGTERM);
  EXPECT_TRUE(kavel_test::killed_by(run->wait(kLimit), SIGTERM));
}

TEST_F(ServiceProgram, UnprivilegedAcceptedElevationHandsOverToTheCopy) {
  if (auto why = unprivileged_missing()) GTEST_SKIP() << *why;
  auto run = start({"--console"}, env({"KAVEL_ELEVATE=" + helper(0), "KAVEL_TEST_MARK=a b;c"}), true);
  // The copy prints the banner; this copy printed only its request.
  ASSERT_TRUE(run->wait_output(kPipeLine, kLimit)) << run->output();
  EXPECT_EQ(run->output(), kAsking + kBannerFalse + kPipeLine);
  ASSERT_TRUE(answers_ping());
  // The stand-in helper cannot really raise rights: the copy runs as the same user.
  EXPECT_EQ(reported_elevation(), std::optional<bool>(false));

  const std::string runs = kavel_test::read_file(helper_runs());
  EXPECT_TRUE(runs.starts_with("-v\n/usr/bin/env ")) << runs;
  EXPECT_NE(runs.find(" KAVEL_PIPE_DIR=" + pipe_dir().string() + " "), std::string::npos) << runs;
  EXPECT_NE(runs.find(" KAVEL_TEST_MARK=a b;c "), std::string::npos) << runs;
  EXPECT_EQ(runs.find("XDG_DATA_HOME"), std::string::npos) << runs;
  EXPECT_TRUE(runs.ends_with(" " + program_ + " --console --elevated-console\n")) << runs;

  // The first copy waits for the elevated one, then exits 0.
  EXPECT_TRUE(run->still_running_after(300ms));
  const std::string copy = kavel_test::wait_file_line(dir_ / "copy-pid", kLimit);
  ASSERT_FALSE(copy.empty());
  const pid_t copy_pid = std::stoi(copy);
  ASSERT_NE(copy_pid, run->pid());
  ::kill(copy_pid, SIGTERM);
  EXPECT_TRUE(kavel_test::exited_with(run->wait(kLimit), 0)) << run->output();
}

TEST_F(ServiceProgram, ElevatedConsoleSkipsTheElevationTest) {
  if (auto why = unprivileged_missing()) GTEST_SKIP() << *why;
  // Both orders of the two switches.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--elevated-console"}, std::vector<std::string>{"--elevated-console", "--console"},
        std::vector<std::string>{"--console", "--elevated-console"}}) {
    SCOPED_TRACE(arguments.size());
    auto run = start(arguments, env({"KAVEL_ELEVATE=" + helper(1)}), true);
    ASSERT_TRUE(run->wait_output(kPipeLine, kLimit)) << run->output();
    EXPECT_EQ(run->output(), kBannerFalse + kPipeLine);
    ASSERT_TRUE(answers_ping());
    EXPECT_EQ(reported_elevation(), std::optional<bool>(false));
    EXPECT_FALSE(std::filesystem::exists(helper_runs()));
    run->signal(SIGTERM);
    EXPECT_TRUE(kavel_test::killed_by(run->wait(kLimit), SIGTERM));
  }
}

TEST_F(ServiceProgram, ConsoleEndRemovesItsOwnSocketButNeverAnotherCopys) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  // Each of the console's ends takes the socket file with it.
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    auto run = start({"--console"}, env(), false, "output-" + std::to_string(signal));
    ASSERT_TRUE(run->wait_output(kPipeLine, kLimit)) << run->output();
    ASSERT_TRUE(answers_ping());
    ASSERT_TRUE(std::filesystem::is_socket(socket_path()));
    run->signal(signal);
    EXPECT_TRUE(kavel_test::killed_by(run->wait(kLimit), signal));
    EXPECT_FALSE(std::filesystem::exists(socket_path()));
  }

  // A copy whose socket file was taken away and replaced by a second copy's leaves the second
  // copy's socket in place when it ends.
  auto first = start({"--console"}, env(), false, "output-first");
  ASSERT_TRUE(first->wait_output(kPipeLine, kLimit)) << first->output();
  ASSERT_TRUE(std::filesystem::remove(socket_path()));
  auto second = start({"--console"}, env(), false, "output-second");
  ASSERT_TRUE(second->wait_output(kPipeLine, kLimit)) << second->output();
  first->signal(SIGTERM);
  EXPECT_TRUE(kavel_test::killed_by(first->wait(kLimit), SIGTERM));
  EXPECT_TRUE(std::filesystem::is_socket(socket_path()));
  EXPECT_TRUE(answers_ping());
  second->signal(SIGTERM);
  EXPECT_TRUE(kavel_test::killed_by(second->wait(kLimit), SIGTERM));
  EXPECT_FALSE(std::filesystem::exists(socket_path()));
}

// ---- where it does not serve ----------------------------------------------------------------

TEST_F(ServiceProgram, SecondCopyOnALivePipeSaysSoAndEndsNonZero) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  auto first = start({"--console"}, env());
  ASSERT_TRUE(first->wait_output(kPipeLine, kLimit)) << first->output();
  ASSERT_TRUE(answers_ping());

  // No banner, no "listening": the reason, on the console and in the log, and exit code 1.
  auto second = start({"--console"}, env(), false, "output-second");
  EXPECT_TRUE(kavel_test::exited_with(second->wait(kLimit), 1)) << second->output();
  EXPECT_EQ(second->output(), "Polvane Service stopped: another Polvane Service already serves \\\\.\\pipe\\PolvaneService\n");
  const std::string log = log_text();
  EXPECT_NE(log.find("[ERROR][kavel_lib::ipc::server::win] another Polvane Service already serves "
                     "\\\\.\\pipe\\PolvaneService\n"),
            std::string::npos)
      << log;
  // Only the first copy said it listens.
  EXPECT_EQ(log.find("IPC listening"), log.rfind("IPC listening")) << log;
  EXPECT_EQ(log.find("Polvane Service listening on"), log.rfind("Polvane Service listening on")) << log;
  EXPECT_TRUE(answers_ping());
  first->signal(SIGTERM);
  EXPECT_TRUE(kavel_test::killed_by(first->wait(kLimit), SIGTERM));
}

TEST_F(ServiceProgram, PipePathOrFolderItMayNotUseEndsTheProgram) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  // Something that is not a socket at the pipe's path: left as it is.
  std::filesystem::create_directories(pipe_dir());
  kavel_test::write_file(socket_path(), "data");
  auto run = start({"--console"}, env());
  EXPECT_TRUE(kavel_test::exited_with(run->wait(kLimit), 1)) << run->output();
  const std::string not_a_socket = socket_path().string() +
                                   " is not a socket, so \\\\.\\pipe\\PolvaneService cannot be served there";
  EXPECT_EQ(run->output(), "Polvane Service stopped: " + not_a_socket + "\n");
  EXPECT_NE(log_text().find("[ERROR][kavel_lib::ipc::server::win] " + not_a_socket + "\n"), std::string::npos)
      << log_text();
  EXPECT_EQ(kavel_test::read_file(socket_path()), "data");
  std::filesystem::remove(socket_path());

  // A pipe folder that others may write to, on the service road too: nothing is made in it.
  ::chmod(pipe_dir().c_str(), 0777);
  const std::string unsafe = "the pipe folder " + pipe_dir().string() +
                             " is not safe: it must be a folder, not a link, owned by root or the service's user, "
                             "and neither group nor others may write to it";
  for (const bool service_road : {false, true}) {
    SCOPED_TRACE(service_road ? "service road" : "console road");
    auto refused = service_road ? start({}, env({"INVOCATION_ID=8f1c2d3e4b5a69788796a5b4c3d2e1f0"}), false, "output-service")
                                : start({"--console"}, env(), false, "output-console");
    EXPECT_TRUE(kavel_test::exited_with(refused->wait(kLimit), 1)) << refused->output();
    EXPECT_EQ(refused->output(), "Polvane Service stopped: " + unsafe + "\n");
    EXPECT_FALSE(std::filesystem::exists(socket_path()));
  }
  EXPECT_NE(log_text().find("[ERROR][kavel_lib::ipc::server::win] " + unsafe + "\n"), std::string::npos) << log_text();
  EXPECT_EQ(log_text().find("listening"), std::string::npos) << log_text();
}

// ---- service road --------------------------------------------------------------------------


TEST_F(ServiceProgram, ServiceRoadReportsReadyAndStopsOnSigterm) {
  NotifySocket notify(dir_ / "notify");
  ASSERT_TRUE(notify.bound());
  auto run = start({}, env({"NOTIFY_SOCKET=" + notify.address()}));
  EXPECT_EQ(notify.receive(kLimit), "READY=1");
  ASSERT_TRUE(answers_ping());
  if (!kavel_test::root_missing()) {
    EXPECT_EQ(reported_elevation(), std::optional<bool>(true));
  }

  run->signal(SIGTERM);
  // Once from the stop control, once when the listener has returned.
  EXPECT_EQ(notify.receive(kLimit), "STOPPING=1");
  EXPECT_EQ(notify.receive(kLimit), "STOPPING=1");
  EXPECT_TRUE(kavel_test::exited_with(run->wait(kLimit), 0)) << run->output();
  // Nothing printed on this road; the log tells the road taken.
  EXPECT_EQ(run->output(), "");
  EXPECT_NE(log_text().find("[PolvaneService] PolvaneService SCM worker running"), std::string::npos) << log_text();
  // The wake-up ping was read and answered like any request: no connection error was logged.
  EXPECT_EQ(log_text().find("IPC connection error"), std::string::npos) << log_text();
  EXPECT_EQ(notify.receive(100ms), std::nullopt);
}

TEST_F(ServiceProgram, ServiceRoadWithAnAbstractNotifySocket) {
  auto notify = NotifySocket::abstract("kavel-program-test-" + std::to_string(::getpid()));
  ASSERT_TRUE(notify.bound());
  auto run = start({}, env({"NOTIFY_SOCKET=" + notify.address()}));
  EXPECT_EQ(notify.receive(kLimit), "READY=1");
  ASSERT_TRUE(answers_ping());
  run->signal(SIGTERM);
  EXPECT_EQ(notify.receive(kLimit), "STOPPING=1");
  EXPECT_TRUE(kavel_test::exited_with(run->wait(kLimit), 0)) << run->output();
}

TEST_F(ServiceProgram, ServiceRoadWithoutNotifySocketStillTakesTheStop) {
  // A unit that is not Type=notify: systemd sets only INVOCATION_ID.
  auto run = start({}, env({"INVOCATION_ID=8f1c2d3e4b5a69788796a5b4c3d2e1f0"}));
  ASSERT_TRUE(answers_ping());
  run->signal(SIGTERM);
  EXPECT_TRUE(kavel_test::exited_with(run->wait(kLimit), 0)) << run->output();
  EXPECT_EQ(run->output(), "");
}

TEST_F(ServiceProgram, StopEndsRunningToolsAndRemovesTheirPartialFiles) {
  // The program runs from a folder of its own with a stand-in icat beside it, which starts a
  // child of its own, notes both numbers, writes a little and then runs on. The folder is one
  // that only the test's user may change, as the service asks of the path of a tool it runs
  // (dir_ is open to all).
  kavel_test::TempDir program_dir;
  ::chmod(program_dir.path().c_str(), 0755);
  const auto bin = program_dir.path() / "bin";
  std::filesystem::create_directories(bin);
  std::error_code linked;
  std::filesystem::create_hard_link(program_, bin / "PolvaneService", linked);
  if (linked) std::filesystem::copy_file(program_, bin / "PolvaneService");
  program_ = (bin / "PolvaneService").string();
  const auto pids = dir_ / "pids";
  kavel_test::write_script(bin / "icat", "sleep 1000 &\necho \"$! $$\" > '" + pids.string() +
                                             "'\nprintf partial\nwait");

  // The service road's stop, and the console's end (as root: no elevation is asked), which
  // keeps its default outcome, the process ended by the signal.
  struct Road {
    std::string name;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
  };
  std::vector<Road> roads{{"service", {}, {"INVOCATION_ID=8f1c2d3e4b5a69788796a5b4c3d2e1f0"}}};
  if (!kavel_test::root_missing()) roads.push_back({"console", {"--console"}, {}});
  kavel_test::TempDir images;
  ::chmod(images.path().c_str(), 0755);
  for (const auto& road : roads) {
    SCOPED_TRACE(road.name);
    std::filesystem::remove(pids);
    const auto out = dir_ / ("out-" + road.name);
    std::filesystem::create_directories(out);
    const auto partial_files = [](const std::filesystem::path& folder) {
      int count = 0;
      for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(".icat-")) ++count;
      }
      return count;
    };

    // Declared before the program: should the test stop early, the program is ended first,
    // which lets the client's call return before the thread is joined.
    std::jthread client;
    auto environment = road.environment;
    // The drive must be there: the service opens it before icat runs. Its folder is one that
    // only root may change, as the service asks of a drive's path (dir_ is open to all).
    const auto image = images.path() / "e.img";
    kavel_test::write_file(image, "image e\n");
    environment.push_back("KAVEL_DRIVES=E=" + image.string());
    auto run = start(road.arguments, env(environment), false, "output-" + road.name);
    ASSERT_TRUE(answers_ping());
    client = std::jthread([&out] {
      (void)ipc::ipc_call(ipc::IpcRequest{ipc::IpcRequest::IcatToFile{"ntfs", "\\\\.\\E:", "5", 0,
                                                                      (out / "a.bin").string(), false, 0}},
                          3s);
    });
    const std::string numbers = kavel_test::wait_file_line(pids, kLimit);
    ASSERT_FALSE(numbers.empty()) << run->output();
    const auto space = numbers.find(' ');
    const auto grandchild = static_cast<std::uint32_t>(std::stoul(numbers.substr(0, space)));
    const auto icat = static_cast<std::uint32_t>(std::stoul(numbers.substr(space + 1)));
    // Whatever happens below, nothing of the stand-in outlives the test.
    const std::shared_ptr<void> reap(nullptr, [icat](void*) {
      if (!kavel_test::process_ended(icat)) ::kill(-static_cast<pid_t>(icat), SIGKILL);
    });
    EXPECT_EQ(partial_files(out), 1);
    // The folder is swapped during the run: the partial file goes from the folder it was made
    // in, and nothing is removed from the folder now at the old path.
    const auto moved = dir_ / ("moved-" + road.name);
    std::filesystem::rename(out, moved);
    std::filesystem::create_directories(out);

    run->signal(SIGTERM);
    const auto ended = run->wait(kLimit);
    if (road.name == "service") {
      EXPECT_TRUE(kavel_test::exited_with(ended, 0)) << run->output();
    } else {
      EXPECT_TRUE(kavel_test::killed_by(ended, SIGTERM)) << run->output();
    }
    client.join();
    // The tool's whole process group ended with the service, and its partial file is gone.
    EXPECT_TRUE(kavel_test::wait_process_ended(icat, kLimit));
    EXPECT_TRUE(kavel_test::wait_process_ended(grandchild, kLimit));
    EXPECT_EQ(partial_files(moved), 0);
    EXPECT_EQ(partial_files(out), 0);
    EXPECT_FALSE(std::filesystem::exists(out / "a.bin"));
    EXPECT_FALSE(std::filesystem::exists(moved / "a.bin"));
  }
}

TEST_F(ServiceProgram, SigtermBeforeTheListenerSocketExistsStillStops) {
  NotifySocket notify(dir_ / "notify");
  ASSERT_TRUE(notify.bound());
  // The listener starts 2 s after the ready report: the stop lands before its socket exists.
  auto run = start({}, env({"NOTIFY_SOCKET=" + notify.address(), "KAVEL_TEST_START_DELAY_MS=2000"}));
  ASSERT_EQ(notify.receive(kLimit), "READY=1");
  EXPECT_FALSE(std::filesystem::exists(socket_path()));
  run->signal(SIGTERM);
  EXPECT_EQ(notify.receive(kLimit), "STOPPING=1");
  EXPECT_FALSE(std::filesystem::exists(socket_path()));
  // The listener, once it starts, finds the flag cleared and returns: the program ends.
  EXPECT_TRUE(kavel_test::exited_with(run->wait(kLimit), 0)) << run->output();
  EXPECT_EQ(notify.receive(kLimit), "STOPPING=1");
}

}  // namespace
}  // namespace kavel_lib::service
