// Misbehaving clients and requests that cannot be served, against the built service on the real
// volumes: each gets a clear error reply (or, having hung up, nothing), the service goes on
// answering everyone else, and it holds no more descriptors afterwards than before.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/client.h"
#include "ipc/messages.h"
#include "platform/device.h"
#include "service_acceptance/manifest_files.h"
#include "service_acceptance/running_service.h"
#include "support/test_env.h"

namespace kavel_test::service_acceptance {
namespace {

using kavel_lib::ipc::IpcRequest;
using namespace std::chrono_literals;

constexpr std::uint64_t kAllBits64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kAllBits32 = std::numeric_limits<std::uint32_t>::max();

class ServiceFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = service_run_missing()) GTEST_SKIP() << *why;
    service_ = std::make_unique<RunningService>();
    ASSERT_TRUE(service_->ready()) << service_->output();
    baseline_ = service_->descriptor_count();
    ASSERT_TRUE(baseline_);
  }
  // The service lives, answers, and has closed every connection of the test.
  void TearDown() override {
    if (!service_) return;
    EXPECT_TRUE(service_->alive()) << service_->output();
    EXPECT_EQ(call_text(IpcRequest::Ping{}), kPong);
    EXPECT_EQ(service_->descriptors_settle_at(*baseline_, 5s), baseline_);
  }

  [[nodiscard]] std::string dest(const std::string& name) const { return (out_ / name).string(); }

  std::unique_ptr<RunningService> service_;
  std::optional<std::size_t> baseline_;
  TempDir out_;
};

// Connects through the library's client and writes `bytes` as they stand.
kavel_lib::platform::PipeConnection connect_and_write(std::string_view bytes) {
  auto pipe = kavel_lib::ipc::connect_pipe(3s);
  EXPECT_TRUE(pipe);
  if (!pipe) return {};
  while (!bytes.empty()) {
    auto written = pipe->write_some(bytes);
    if (!written || *written == 0) {
      ADD_FAILURE() << "write failed";
      break;
    }
    bytes.remove_prefix(*written);
  }
  return std::move(*pipe);
}

// The decoded reply to raw bytes: "code: message" of an error reply, the data of an ok one, or
// "error: " and the client error's text.
std::string raw_exchange(std::string_view bytes) {
  auto pipe = connect_and_write(bytes);
  auto reply = kavel_lib::ipc::read_frame(pipe);
  if (!reply) return "error: " + reply.error().display();
  auto decoded = kavel_lib::ipc::ipc_response_deserialize(*reply);
  if (!decoded) return "undecodable: " + *reply;
  if (const auto* err = std::get_if<kavel_lib::ipc::IpcResponse::Err>(&decoded->reply)) {
    return err->code + ": " + err->message;
  }
  return std::get<kavel_lib::ipc::IpcResponse::Ok>(decoded->reply).data.dump();
}

std::string frame(std::string_view payload) {
  std::string bytes;
  const auto n = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  bytes.append(payload);
  return bytes;
}

TEST_F(ServiceFaults, BrokenFramesAreAnsweredWithTheIpcCode) {
  EXPECT_EQ(raw_exchange(std::string("\x01\x00\x00\x01", 4)), "IPC: payload too large");
  EXPECT_EQ(raw_exchange(frame(R"({"op":"pong"})")),
            "IPC: bad request: unknown variant `pong`, expected one of `ping`, `status`, `open_device`, "
            "`export_ntfs_frn`, `export_fat32`, `export_exfat`, `icat_to_file` at line 1 column 12");
  EXPECT_TRUE(raw_exchange(frame("")).starts_with("IPC: bad request: ")) << raw_exchange(frame(""));
  EXPECT_TRUE(raw_exchange(frame(std::string(100'000, '['))).starts_with("IPC: bad request: "));
  EXPECT_TRUE(raw_exchange(frame(R"({"op":"export_ntfs_frn","letter":"N","frn":-1,"dest":"/tmp/x"})"))
                  .starts_with("IPC: bad request: invalid value: integer `-1`, expected u64"));
}

TEST_F(ServiceFaults, ClientsThatHangUpEarlyLeaveNothingBehind) {
  for (int i = 0; i < 20; ++i) {
    { auto gone = connect_and_write(""); }
    { auto half_length = connect_and_write(std::string("\x10\x00", 2)); }
    { auto half_payload = connect_and_write(frame(R"({"op":"status"})").substr(0, 10)); }
    // A whole request whose client leaves before the reply.
    { auto no_reader = connect_and_write(frame(R"({"op":"ping"})")); }
  }
  EXPECT_EQ(call_text(IpcRequest::Status{}), kStatusElevated);
}

TEST_F(ServiceFaults, SilentClientsHoldNobodyUpAndAreClosedAfterTheRequestWindow) {
  std::vector<kavel_lib::platform::PipeConnection> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(connect_and_write(i % 2 == 0 ? "" : std::string("\x40\x00\x00\x00{", 5)));
  // Everybody else is served meanwhile: before the silent ones' 10-second window ends, which is
  // what holding them up would take (a busy machine may be slow, but not that slow).
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(call_text(IpcRequest::Ping{}), kPong);
  EXPECT_EQ(call_text(IpcRequest::ExportFat32{"G", 2, 1, dest("meanwhile.bin")}), kOk);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 9s);
  // After the 10-second window each gets the IPC error and is closed.
  for (auto& pipe : silent) {
    auto reply = kavel_lib::ipc::read_frame(pipe);
    ASSERT_TRUE(reply) << reply.error().display();
    EXPECT_TRUE(reply->starts_with(R"({"status":"err","code":"IPC","message":)")) << *reply;
  }
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 9s);
}

TEST_F(ServiceFaults, ExportsThatCannotBeServedAreExportErrors) {
  EXPECT_EQ(call_text(IpcRequest::ExportNtfsFrn{"N", 999'999, dest("a")}),
            "error: EXPORT: Cannot read MFT record (record may have been overwritten)");
  EXPECT_EQ(call_text(IpcRequest::ExportNtfsFrn{"N", kAllBits64, dest("b")}),
            "error: EXPORT: Cannot read MFT record (record may have been overwritten)");
  EXPECT_TRUE(call_text(IpcRequest::ExportNtfsFrn{"F", 5, dest("c")}).starts_with("error: EXPORT: "));
  EXPECT_EQ(call_text(IpcRequest::ExportFat32{"N", 2, 100, dest("d")}), "error: EXPORT: not a FAT volume");
  EXPECT_EQ(call_text(IpcRequest::ExportFat32{"X", 2, 100, dest("d")}), "error: EXPORT: not a FAT volume");
  EXPECT_EQ(call_text(IpcRequest::ExportFat32{"G", kAllBits32, 100, dest("e")}), "error: EXPORT: exported file is empty");
  EXPECT_EQ(call_text(IpcRequest::ExportExfat{"X", 0xFFFFFFF0u, 0, 100, false, std::nullopt, dest("f")}),
            "error: EXPORT: cluster 4294967280 out of range");
  EXPECT_FALSE(std::filesystem::exists(dest("f")));
  EXPECT_EQ(call_text(IpcRequest::ExportExfat{"F", 2, 0, 100, false, std::nullopt, dest("g")}),
            "error: EXPORT: not an exFAT volume");
  EXPECT_EQ(call_text(IpcRequest::ExportNtfsFrn{"Q", 5, dest("h")}),
            "error: EXPORT: The system cannot find the file specified. (os error 2)");
  EXPECT_EQ(call_text(IpcRequest::ExportNtfsFrn{"", 5, dest("i")}), "error: EXPORT: missing drive letter");
  EXPECT_EQ(call_text(IpcRequest::ExportNtfsFrn{"1", 5, dest("i")}), "error: EXPORT: invalid drive letter: 1");
  EXPECT_EQ(call_text(IpcRequest::ExportNtfsFrn{"N", 5, "out/i.bin"}),
            "error: EXPORT: export destination must be an absolute path");
  EXPECT_EQ(call_text(IpcRequest::ExportNtfsFrn{"N", 5, "/dev/null"}),
            "error: EXPORT: export destination cannot be a device path");
}

TEST_F(ServiceFaults, OversizedExportsStayWithinTheirCaps) {
  // FAT: from the first cluster of a deleted file, whose FAT entry is free, the export goes on
  // over free clusters for the size asked, and stops at 65,536 clusters.
  const std::string boot = read_file(real_volumes_dir() / "fat32.img").substr(0, 512);
  const std::uint64_t cluster_bytes =
      (static_cast<std::uint64_t>(static_cast<std::uint8_t>(boot[11])) | (static_cast<std::uint8_t>(boot[12]) << 8)) *
      static_cast<std::uint8_t>(boot[13]);
  ASSERT_GT(cluster_bytes, 0u);
  EXPECT_EQ(call_text(IpcRequest::ExportFat32{"G", 293, kAllBits64, dest("fat.bin")}), kOk);
  const auto fat_size = std::filesystem::file_size(dest("fat.bin"));
  EXPECT_GT(fat_size, 1'000'000u);
  EXPECT_LE(fat_size, std::uint64_t{65536} * cluster_bytes);
  EXPECT_EQ(fat_size % cluster_bytes, 0u);
  // exFAT: from the first cluster of the deleted file nearest the end of the used heap, the
  // contiguous read runs over free clusters and stops at 4,096 clusters (64 MiB at most).
  std::optional<std::uint32_t> photo;
  for (const auto& file : manifest_deleted_files(real_volumes_dir() / "manifest-exfat.tsv")) {
    if (file.path == "photos/img002.jpg") photo = file.first_cluster;
  }
  ASSERT_TRUE(photo);
  const std::string exfat_boot = read_file(real_volumes_dir() / "exfat.img").substr(0, 512);
  const std::uint64_t exfat_cluster = std::uint64_t{1}
                                      << (static_cast<std::uint8_t>(exfat_boot[108]) +
                                          static_cast<std::uint8_t>(exfat_boot[109]));
  EXPECT_EQ(call_text(IpcRequest::ExportExfat{"X", *photo, 0, kAllBits64, true, std::nullopt, dest("exfat.bin")}),
            kOk);
  EXPECT_EQ(std::filesystem::file_size(dest("exfat.bin")),
            std::min(std::uint64_t{64} * 1024 * 1024, 4096 * exfat_cluster));
}

TEST_F(ServiceFaults, OpenDeviceFailuresAreOpenErrorsAndASuccessPassesTheVolume) {
  EXPECT_EQ(call_text(IpcRequest::OpenDevice{"\\\\.\\pipe\\PolvaneService", static_cast<std::uint32_t>(::getpid())}),
            "error: OPEN: device path not allowed: \\\\.\\pipe\\PolvaneService");
  EXPECT_EQ(call_text(IpcRequest::OpenDevice{"/srv/images/ntfs-small.img", static_cast<std::uint32_t>(::getpid())}),
            "error: OPEN: device path not allowed: /srv/images/ntfs-small.img");
  EXPECT_TRUE(call_text(IpcRequest::OpenDevice{"\\\\.\\Q:", static_cast<std::uint32_t>(::getpid())})
                  .starts_with("error: OPEN: open device failed: "));
  EXPECT_TRUE(call_text(IpcRequest::OpenDevice{"\\\\.\\N:", 4'000'000})
                  .starts_with("error: OPEN: OpenProcess(4000000) failed: "));

  auto reply = kavel_lib::ipc::ipc_call(IpcRequest::OpenDevice{"\\\\.\\N:", static_cast<std::uint32_t>(::getpid())}, 3s);
  ASSERT_TRUE(reply) << reply.error().display();
  ASSERT_TRUE(reply->handle.valid());
  EXPECT_EQ(reply->data, nlohmann::json({{"handle", reply->handle.get()}}));
  const auto device = kavel_lib::platform::Device::adopt(reply->handle.release());
  std::string boot(512, '\0');
  ASSERT_TRUE(device.read_exact_at(0, std::span(reinterpret_cast<std::uint8_t*>(boot.data()), boot.size())));
  EXPECT_EQ(boot.substr(3, 8), "NTFS    ");
}

}  // namespace
}  // namespace kavel_test::service_acceptance
