// Fifty clients at once against the built service: each asks for ping, status and one export
// (NTFS, FAT16, FAT32 and exFAT files in turn); every answer is right, every exported file
// matches its manifest, and afterwards the service holds as many descriptors and threads as
// before.
#include <filesystem>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/messages.h"
#include "service_acceptance/manifest_files.h"
#include "service_acceptance/running_service.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace kavel_test::service_acceptance {
namespace {

using kavel_lib::ipc::IpcRequest;

constexpr int kClients = 50;

struct ExportJob {
  std::string name;
  std::string sha256;
  // The request for a destination.
  std::function<IpcRequest(const std::string& dest)> request;
};

// Deleted files of all four volumes that export whole, with their requests.
std::vector<ExportJob> export_jobs() {
  std::vector<ExportJob> jobs;
  const auto dir = real_volumes_dir();
  for (const auto& file : manifest_deleted_files(dir / "manifest-ntfs.tsv")) {
    if (!file.inode || file.record_reused() || file.size == 0) continue;
    const std::uint64_t frn = *file.inode;
    jobs.push_back({"ntfs:" + file.path, file.sha256,
                    [frn](const std::string& dest) { return IpcRequest::ExportNtfsFrn{"N", frn, dest}; }});
  }
  for (const auto& [manifest, letter] : {std::pair{"manifest-fat16.tsv", kFat16Letter},
                                         std::pair{"manifest-fat32.tsv", kFat32Letter}}) {
    for (const auto& file : manifest_deleted_files(dir / manifest)) {
      if (!file.first_cluster || file.clusters_reused() || file.size == 0) continue;
      const std::uint32_t cluster = *file.first_cluster;
      const std::uint64_t size = file.size;
      const std::string drive(1, letter);
      jobs.push_back({std::string(manifest) + ":" + file.path, file.sha256, [=](const std::string& dest) {
                        return IpcRequest::ExportFat32{drive, cluster, size, dest};
                      }});
    }
  }
  const auto flags = exfat_deleted_stream_flags(read_file(dir / "exfat.img"));
  for (const auto& file : manifest_deleted_files(dir / "manifest-exfat.tsv")) {
    if (!file.first_cluster || file.clusters_reused() || file.size == 0) continue;
    const auto flag = flags.find({*file.first_cluster, file.size});
    if (flag == flags.end() || (flag->second & kNoFatChainFlag) == 0) continue;
    const std::uint32_t cluster = *file.first_cluster;
    const std::uint64_t size = file.size;
    jobs.push_back({"exfat:" + file.path, file.sha256, [=](const std::string& dest) {
                      return IpcRequest::ExportExfat{"X", cluster, 0, size, true, std::nullopt, dest};
                    }});
  }
  return jobs;
}

// The count of the service's threads.
std::optional<std::size_t> thread_count(pid_t pid) {
  std::error_code ec;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  if (ec) return std::nullopt;
  return count;
}

struct ClientOutcome {
  std::string ping, status, exported;
};

TEST(ServiceLoad, FiftyClientsAtOnceAreAllAnsweredAndNothingLeaks) {
  if (auto why = service_run_missing()) GTEST_SKIP() << *why;
  RunningService service;
  ASSERT_TRUE(service.ready()) << service.output();
  const auto jobs = export_jobs();
  ASSERT_GE(jobs.size(), 60u);

  const auto descriptors_before = service.descriptor_count();
  const auto threads_before = thread_count(service.pid());
  ASSERT_TRUE(descriptors_before && threads_before);

  TempDir out;
  for (int wave = 0; wave < 2; ++wave) {
    std::vector<ClientOutcome> outcomes(kClients);
    std::latch start(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] {
        start.arrive_and_wait();
        const auto& job = jobs[static_cast<std::size_t>(i + wave * kClients) % jobs.size()];
        outcomes[i].ping = call_text(IpcRequest::Ping{});
        outcomes[i].status = call_text(IpcRequest::Status{});
        const auto dest = out / ("wave-" + std::to_string(wave)) / ("client-" + std::to_string(i)) / "file.bin";
        outcomes[i].exported = call_text(job.request(dest.string()));
      });
    }
    for (auto& client : clients) client.join();

    for (int i = 0; i < kClients; ++i) {
      const auto& job = jobs[static_cast<std::size_t>(i + wave * kClients) % jobs.size()];
      EXPECT_EQ(outcomes[i].ping, kPong) << i;
      EXPECT_EQ(outcomes[i].status, kStatusElevated) << i;
      EXPECT_EQ(outcomes[i].exported, kOk) << job.name;
      const auto dest = out / ("wave-" + std::to_string(wave)) / ("client-" + std::to_string(i)) / "file.bin";
      EXPECT_EQ(sha256_of_file(dest), job.sha256) << job.name;
    }
  }

  EXPECT_EQ(service.descriptors_settle_at(*descriptors_before, std::chrono::seconds(5)), descriptors_before);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (thread_count(service.pid()) != threads_before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(thread_count(service.pid()), threads_before);
  EXPECT_TRUE(service.alive());
  EXPECT_EQ(service.log_text().find("IPC connection error"), std::string::npos) << service.log_text();
}

}  // namespace
}  // namespace kavel_test::service_acceptance
