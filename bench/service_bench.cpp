// The built PolvaneService under measure, in console mode as root on a socket in a temporary
// folder with the real test volumes mapped: export_ntfs_frn of ntfs-small's 1,000,000-byte
// deleted file, asked for through the library's client (connection, request, the export, the
// reply), against the Sleuth Kit's `icat -r` of the same record writing the same file; and ping
// requests per second from 1 and from 8 clients at once.
//
// Needs root and the real volumes (KAVEL_REAL_VOLUMES); each benchmark says why it skips.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "ipc/client.h"
#include "ipc/messages.h"
#include "service/program_runner.h"
#include "service_acceptance/manifest_files.h"
#include "service_acceptance/running_service.h"
#include "support/test_env.h"

namespace sa = kavel_test::service_acceptance;
using kavel_lib::ipc::IpcRequest;

namespace {

constexpr const char* kLargeFile = "docs/2/deleted-large-1000000.bin";

struct Setup {
  std::optional<std::string> missing;  // why nothing can be measured here
  std::unique_ptr<sa::RunningService> service;
  kavel_test::TempDir out;
  std::uint64_t frn = 0;
  std::uint64_t size = 0;
};

// The service and the file, set up once for every benchmark of the run; the service is ended
// when the program exits.
Setup& setup() {
  static const std::unique_ptr<Setup> s = [] {
    auto out = std::make_unique<Setup>();
    out->missing = sa::service_run_missing();
    if (out->missing) return out;
    for (const auto& file : sa::manifest_deleted_files(kavel_test::real_volumes_dir() / "manifest-ntfs.tsv")) {
      if (file.path == kLargeFile && file.inode) {
        out->frn = *file.inode;
        out->size = file.size;
      }
    }
    if (out->frn == 0) {
      out->missing = std::string(kLargeFile) + " is not in manifest-ntfs.tsv";
      return out;
    }
    out->service = std::make_unique<sa::RunningService>();
    if (!out->service->ready()) out->missing = "the service did not answer: " + out->service->output();
    return out;
  }();
  return *s;
}

void BM_ServiceExportNtfsFrn1MB(benchmark::State& state) {
  Setup& s = setup();
  if (s.missing) {
    state.SkipWithError(s.missing->c_str());
    return;
  }
  const auto dest = (s.out / "export.bin").string();
  for (auto _ : state) {
    auto reply = kavel_lib::ipc::ipc_call(IpcRequest::ExportNtfsFrn{"N", s.frn, dest}, std::chrono::seconds(3));
    if (!reply) {
      state.SkipWithError(reply.error().display().c_str());
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size));
}
BENCHMARK(BM_ServiceExportNtfsFrn1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IcatRecover1MB(benchmark::State& state) {
  Setup& s = setup();
  if (s.missing) {
    state.SkipWithError(s.missing->c_str());
    return;
  }
  if (auto why = kavel_test::program_missing("icat")) {
    state.SkipWithError(why->c_str());
    return;
  }
  const auto image = (kavel_test::real_volumes_dir() / "ntfs-small.img").string();
  const auto dest = s.out / "icat.bin";
  for (auto _ : state) {
    kavel_test::ProgramRun icat({"icat", "-r", "-f", "ntfs", image, std::to_string(s.frn)}, {}, dest);
    if (!kavel_test::exited_with(icat.wait(std::chrono::seconds(30)), 0)) {
      state.SkipWithError("icat failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size));
}
BENCHMARK(BM_IcatRecover1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Ping round trips; items_per_second over all client threads is the service's request rate.
void BM_ServicePing(benchmark::State& state) {
  Setup& s = setup();
  if (s.missing) {
    state.SkipWithError(s.missing->c_str());
    return;
  }
  for (auto _ : state) {
    auto reply = kavel_lib::ipc::ipc_call(IpcRequest::Ping{}, std::chrono::seconds(3));
    if (!reply) {
      state.SkipWithError(reply.error().display().c_str());
      return;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ServicePing)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
