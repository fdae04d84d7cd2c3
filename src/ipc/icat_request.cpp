// icat_to_file: the Sleuth Kit's icat copies one file out of a raw device into the destination.
//
// The destination is handled as the exporters handle theirs: an existing one is opened (as the
// client, never through a link, a regular file only) and checked before icat runs, and keeps
// its inode and mode; a new one is created as an export would create it. icat's output goes
// first into a working file beside the destination that only the client can read (so the
// output is never held in memory), and only a run that gave at least one byte has it copied
// into the destination; a failed or empty run leaves the destination as it was. The working
// file is removed in every case, through the folder it was created in (whatever that folder's
// path has become meanwhile), also by a stop of the service that comes during the run, which
// ends icat too (system/child_processes, system/partial_files).
//
// icat never opens the drive table's path itself: the service opens the drive as every device
// open does (an image file or block device only, and with the service's drive pins the very
// object the drive was pinned to) and icat reads that descriptor as its descriptor 3.
//
// With the drive pins on, icat runs only from a path that no user but root and the service's
// own can change (platform/program_trust.h); the place where the search finds it decides, so an
// icat found where another user may change it refuses the request, with a warning in the log,
// and no other place is tried.
#include <fmt/format.h>

#include <array>
#include <chrono>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ipc/peer_identity.h"
#include "ipc/request_checks.h"
#include "ipc/request_ops.h"
#include "ipc/server.h"
#include "logging/logging.h"
#include "platform/acting_identity.h"
#include "platform/device.h"
#include "platform/file_ops.h"
#include "service/tool_config.h"
#include "service/tool_runtime.h"
#include "system/partial_files.h"

namespace kavel_lib::ipc {

namespace {

constexpr std::string_view kIcatCode = "ICAT";
constexpr std::chrono::seconds kPreviewTimeout{45};
constexpr std::chrono::seconds kCheckedTimeout{120};
// icat's -o counts sectors of this size.
constexpr std::uint64_t kSectorBytes = 512;
// Names tried for the temporary file before giving up.
constexpr int kTemporaryNameAttempts = 16;

// icat beside the executable (in its Sleuth Kit folder, then directly), else where the tool
// search finds it: the first place that holds a file of one of its names.
std::expected<std::filesystem::path, service::EngineError> locate_icat() {
  const std::filesystem::path dir = service::exe_dir();
  if (!dir.empty()) {
    constexpr std::array<std::string_view, 4> kBeside = {"3rd/sleuthkit/icat.exe", "icat.exe", "3rd/sleuthkit/icat",
                                                         "icat"};
    for (const auto name : kBeside) {
      const auto candidate = dir / std::filesystem::path(std::string(name));
      if (service::path_is_file(candidate)) return candidate;
    }
  }
  return service::find_icat(service::load_config_and_resolve_tools());
}

// What icat reads: the opened drive's host file, which it gets as its descriptor 3.
constexpr std::string_view kIcatSource = "/dev/fd/3";

// The request's sector offset moved by where the device lies in its host file.
std::expected<std::uint64_t, std::string> icat_sector_offset(const platform::Device& device, std::uint64_t offset) {
  const platform::WinError invalid{platform::win::ERROR_INVALID_PARAMETER};
  if (device.base_offset() % kSectorBytes != 0) return std::unexpected(invalid.display());
  const std::uint64_t mapped = device.base_offset() / kSectorBytes;
  if (offset > std::numeric_limits<std::uint64_t>::max() - mapped) return std::unexpected(invalid.display());
  return offset + mapped;
}

// "-f" and the type, "-r" to recover, "-o" and the sector offset when not 0, the source, the
// inode as received.
std::vector<std::string> icat_arguments(const std::string& fs_type, bool recover, std::uint64_t sector_offset,
                                        const std::string& inode) {
  std::vector<std::string> arguments{"-f", fs_type};
  if (recover) arguments.emplace_back("-r");
  if (sector_offset != 0) {
    arguments.emplace_back("-o");
    arguments.push_back(fmt::format("{}", sector_offset));
  }
  arguments.emplace_back(kIcatSource);
  arguments.push_back(inode);
  return arguments;
}

class FileSink final : public service::OutputSink {
 public:
  explicit FileSink(platform::DestinationFile& file) : file_(file) {}
  std::expected<void, platform::OsError> write_all(std::span<const std::uint8_t> bytes) override {
    return file_.write_all(bytes);
  }

 private:
  platform::DestinationFile& file_;
};

// A working file, and the folder that holds it, through which it is removed.
struct TemporaryFile {
  platform::OpenedFolder folder;
  std::filesystem::path name;
  platform::DestinationFile file;
};

// A new file with an unused name in the destination's folder.
std::expected<TemporaryFile, platform::OsError> create_temporary_beside(const std::filesystem::path& destination) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  auto folder = platform::OpenedFolder::open(destination.parent_path());
  if (!folder) return std::unexpected(folder.error());
  std::optional<platform::OsError> last;
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::filesystem::path name = fmt::format(".icat-{:016x}.part", random());
    auto file = folder->create_new(name);
    if (file) return TemporaryFile{std::move(*folder), std::move(name), std::move(*file)};
    if (file.error().code() != platform::win::ERROR_FILE_EXISTS) return std::unexpected(file.error());
    last = file.error();
  }
  return std::unexpected(*last);
}

// Runs icat into the file: the first max_bytes bytes within 45 seconds, or all of its output
// within 120 seconds. Gives the count of bytes written.
std::expected<std::uint64_t, std::string> run_icat(const service::LocatedTool& icat,
                                                   const std::vector<std::string>& arguments, std::uint64_t max_bytes,
                                                   const platform::Device& source, platform::DestinationFile& file) {
  FileSink sink(file);
  const int descriptor = source.native_handle();
  if (max_bytes != 0) {
    auto written = service::run_tool_preview_to_file(icat, arguments, max_bytes, kPreviewTimeout, sink, descriptor);
    if (!written) return std::unexpected(written.error().display());
    return *written;
  }
  auto run = service::run_tool_checked_to_file(icat, arguments, kCheckedTimeout, sink, descriptor);
  if (!run) return std::unexpected(run.error().display());
  return run->stdout_length;
}

}  // namespace

IpcResponse serve_icat_to_file(const IpcRequest::IcatToFile& request, const RequestContext& context) {
  const auto fs_type = parse_icat_fs_type(request.fs);
  if (!fs_type) return ipc_response_err(kIcatCode, fs_type.error());
  if (auto allowed = validate_device_path(request.device); !allowed) return ipc_response_err(kIcatCode, allowed.error());
  if (auto inode = validate_inode(request.inode); !inode) return ipc_response_err(kIcatCode, inode.error());
  const auto destination = validate_export_destination(request.dest);
  if (!destination) return ipc_response_err(kIcatCode, destination.error());
  auto identity = acting_identity_for(context.peer, platform::process_identity());
  if (!identity) return ipc_response_err(kIcatCode, identity.error());

  // Only the destination's folders and files are made as the client; the tool search and the
  // tool run below are the service's own.
  const platform::ScopedActingIdentity acting(std::move(*identity));
  const platform::ScopedCreationMask mask(client_creation_mask(context.peer));
  if (auto made = platform::create_parent_folders(*destination); !made) {
    return ipc_response_err(kIcatCode, io_error_to_string(made.error()));
  }
  auto icat_path = locate_icat();
  if (!icat_path) return ipc_response_err(kIcatCode, engine_error_to_string(icat_path.error()));
  auto icat = service::require_tool_file("icat", *icat_path);
  if (!icat) return ipc_response_err(kIcatCode, engine_error_to_string(icat.error()));
  if (auto placed = service::check_tool_place(*icat); !placed) {
    logging::warn(kServerLogTarget, "{}", placed.error());
    return ipc_response_err(kIcatCode, placed.error());
  }
  // The drive is opened as the service, as every device open: a name the table does not map,
  // or that leads to anything but an image file or block device (a FIFO is refused without
  // waiting on it), or, with the drive pins on, to another object than the one pinned or through
  // a path another user may change, fails here, before icat runs.
  const auto source = platform::Device::open(request.device);
  if (!source) return ipc_response_err(kIcatCode, source.error().display());
  const auto sector_offset = icat_sector_offset(*source, request.offset);
  if (!sector_offset) return ipc_response_err(kIcatCode, sector_offset.error());
  const auto arguments = icat_arguments(*fs_type, request.recover, *sector_offset, request.inode);

  // An existing destination is checked now, before icat runs; a missing one is made only once
  // there is something to put in it.
  auto existing = platform::DestinationFile::open_existing(*destination);
  if (!existing && existing.error().code() != platform::win::ERROR_FILE_NOT_FOUND) {
    return ipc_response_err(kIcatCode, io_error_to_string(existing.error()));
  }

  // The working file is registered from its creation until it is removed, so that a stop of
  // the service removes it rather than leave it behind; a stop that has begun already refuses
  // the run.
  auto partial = system::PartialFile::reserve();
  if (!partial) {
    return ipc_response_err(kIcatCode,
                            io_error_to_string(platform::OsError::from_code(platform::win::ERROR_OPERATION_ABORTED)));
  }
  auto temporary = create_temporary_beside(*destination);
  if (!temporary) return ipc_response_err(kIcatCode, io_error_to_string(temporary.error()));
  partial->track(temporary->folder, temporary->name);
  const auto fail = [&](std::string message) {
    (void)temporary->file.close();
    (void)temporary->folder.remove(temporary->name);
    return ipc_response_err(kIcatCode, message);
  };

  const auto written = run_icat(*icat, arguments, request.max_bytes, *source, temporary->file);
  if (!written) return fail(written.error());
  if (*written == 0) return fail("icat returned empty output");
  auto target = existing ? std::move(existing) : platform::DestinationFile::create(*destination);
  if (!target) return fail(io_error_to_string(target.error()));
  if (auto copied = target->replace_content_from(temporary->file); !copied) {
    return fail(io_error_to_string(copied.error()));
  }
  if (auto closed = target->close(); !closed) return fail(io_error_to_string(closed.error()));
  (void)temporary->file.close();
  (void)temporary->folder.remove(temporary->name);
  return IpcResponse::Ok{nlohmann::json{{"ok", true}}};
}

}  // namespace kavel_lib::ipc
