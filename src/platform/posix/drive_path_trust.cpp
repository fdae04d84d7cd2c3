#include "platform/posix/drive_path_trust.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/posix/kernel_file_systems.h"
#include "platform/posix/storage_trace.h"
#include "platform/small_file.h"

namespace kavel_lib::platform::posix {

namespace {

constexpr int kMaxLinks = 40;
constexpr unsigned long kFuseMagic = 0x65735546;
constexpr unsigned long kAutofsMagic = 0x0187;
// The mount table is read up to this size; a larger one is not searched (a FUSE folder then
// counts as belonging to no known user).
constexpr std::size_t kMaxMountTable = std::size_t{16} << 20;

constexpr int kPathFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// The names still to walk, the next one last.
using Pending = std::vector<std::string>;

void push_names(Pending& pending, std::string_view path) {
  std::vector<std::string_view> names;
  std::size_t at = 0;
  while (at <= path.size()) {
    const auto slash = path.find('/', at);
    const auto end = slash == std::string_view::npos ? path.size() : slash;
    if (end > at) names.push_back(path.substr(at, end - at));
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  for (auto it = names.rbegin(); it != names.rend(); ++it) pending.emplace_back(*it);
}

std::string place_text(const std::vector<std::string>& folders, std::string_view name = {}) {
  std::string text;
  for (const auto& folder : folders) text += "/" + folder;
  if (!name.empty()) text += "/" + std::string(name);
  return text.empty() ? "/" : text;
}

// The user_id= of the FUSE mount whose device number is `device`, from its super options.
std::optional<uid_t> fuse_mount_user(dev_t device) {
  const auto table = read_small_file("/proc/self/mountinfo", kMaxMountTable);
  if (!table) return std::nullopt;
  std::string_view rest = *table;
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
    const auto mount = parse_mount_line(line);
    if (!mount || mount->device != device) continue;
    std::string_view options = mount->super_options;
    while (!options.empty()) {
      const auto comma = options.find(',');
      const std::string_view option = options.substr(0, comma);
      options = comma == std::string_view::npos ? std::string_view{} : options.substr(comma + 1);
      constexpr std::string_view kKey = "user_id=";
      if (!option.starts_with(kKey)) continue;
      const std::string_view digits = option.substr(kKey.size());
      uid_t user = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), user);
      if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
      return user;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

bool is_automount_point(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) == 0 && static_cast<unsigned long>(fs.f_type) == kAutofsMagic;
}

bool trusted_user(uid_t owner, uid_t service_user) { return owner == 0 || owner == service_user; }

// A sticky folder that group or others may add names to (/tmp).
bool shared_folder(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether a folder passes: its owner is root or the service's user, and only that owner may
// write it, unless it is sticky and `sticky_excuses`. On FUSE the mount's user must be one of
// them too: that user's daemon answers for the folder whatever owner it reports (and the owner
// it reports is checked as well, since the kernel grants writes by it where the mount checks
// permissions itself).
std::optional<UntrustedPlace> folder_fault(int fd, const struct stat& st, std::string place, uid_t service_user,
                                           bool sticky_excuses = true) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return UntrustedPlace{std::move(place), Changer::unknown, 0};
  if (static_cast<unsigned long>(fs.f_type) == kFuseMagic) {
    const auto user = fuse_mount_user(st.st_dev);
    if (!user) return UntrustedPlace{std::move(place), Changer::unknown, 0};
    if (!trusted_user(*user, service_user)) return UntrustedPlace{std::move(place), Changer::user, *user};
  }
  const uid_t owner = st.st_uid;
  if (!trusted_user(owner, service_user)) return UntrustedPlace{std::move(place), Changer::user, owner};
  if (sticky_excuses && (st.st_mode & S_ISVTX) != 0) return std::nullopt;
  if ((st.st_mode & S_IWOTH) != 0) return UntrustedPlace{std::move(place), Changer::anyone, 0};
  if ((st.st_mode & S_IWGRP) != 0) return UntrustedPlace{std::move(place), Changer::group, st.st_gid};
  return std::nullopt;
}

// Whether an entry taken from a shared folder passes the first test: it belongs to root or the
// service's user, and it is a folder. Another user may have moved into the shared folder any
// file, link or device node of root's from a folder of their own on the same file system (or
// linked it there), so none of those passes, whoever owns it. A folder cannot be moved by a user
// who may not write it; that it is one no one else may write is checked as it is passed
// through, its sticky bit excusing nothing.
std::optional<UntrustedPlace> shared_entry_fault(const struct stat& st, const struct stat& folder, std::string place,
                                                 uid_t service_user) {
  if (!trusted_user(st.st_uid, service_user)) return UntrustedPlace{std::move(place), Changer::user, st.st_uid};
  if (S_ISDIR(st.st_mode)) return std::nullopt;
  if ((folder.st_mode & S_IWOTH) != 0) return UntrustedPlace{std::move(place), Changer::added_by_anyone, 0};
  return UntrustedPlace{std::move(place), Changer::added_by_group, folder.st_gid};
}

// The end of the walk: `name` in `folder`, seen as `st` through the path-only descriptor
// `object` at `place`, unless it lies on one of the kernel's own file systems (whose process
// files, /proc/PID/mem among them, pass every owner check).
PathWalk walk_end(Fd& folder, std::string name, const struct stat& st, int object, std::string place) {
  struct statfs fs {};
  if (::fstatfs(object, &fs) != 0) return WalkFailed{errno};
  if (is_kernel_file_system(fs.f_type)) return UntrustedPlace{std::move(place), Changer::kernel, 0};
  return ReachedObject{std::move(folder), std::move(name), st};
}

// Opens / and checks it; the walk's starting point.
std::variant<Fd, UntrustedPlace, WalkFailed> open_root(struct stat& st, uid_t service_user) {
  Fd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0 || ::fstat(root.get(), &st) != 0) return WalkFailed{errno};
  if (auto fault = folder_fault(root.get(), st, "/", service_user)) return std::move(*fault);
  return root;
}

}  // namespace

PathWalk walk_drive_path(std::string_view path, uid_t service_user) {
  if (path.empty()) return WalkFailed{ENOENT};
  Pending pending;
  push_names(pending, path);
  if (path.front() != '/') {
    std::array<char, PATH_MAX> cwd{};
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) return WalkFailed{errno};
    push_names(pending, cwd.data());
  }

  struct stat folder_st {};
  auto start = open_root(folder_st, service_user);
  if (auto* fault = std::get_if<UntrustedPlace>(&start)) return std::move(*fault);
  if (auto* failed = std::get_if<WalkFailed>(&start)) return *failed;
  Fd folder = std::move(std::get<Fd>(start));
  std::vector<std::string> folders;  // where `folder` is, name by name from /
  int links = 0;

  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == ".") continue;

    Fd entry(::openat(folder.get(), name.c_str(), kPathFlags));
    if (entry.get() < 0) {
      if (errno == ENOENT) return NothingThere{};
      return WalkFailed{errno};
    }
    struct stat st {};
    if (::fstat(entry.get(), &st) != 0) return WalkFailed{errno};
    if (S_ISDIR(st.st_mode) && name != ".." && is_automount_point(entry.get())) {
      // An automount point not mounted yet: a path-only open does not mount it, a folder open
      // does, and what is mounted there is what the path leads to.
      entry = Fd(::openat(folder.get(), name.c_str(), kPathFlags | O_DIRECTORY));
      if (entry.get() < 0) return WalkFailed{errno};
      if (::fstat(entry.get(), &st) != 0) return WalkFailed{errno};
    }

    if (name == "..") {
      // The folder above is passed through like any other.
      if (!folders.empty()) folders.pop_back();
      if (auto fault = folder_fault(entry.get(), st, place_text(folders), service_user)) return std::move(*fault);
      folder = std::move(entry);
      folder_st = st;
      continue;
    }

    std::string place = place_text(folders, name);
    const bool shared = shared_folder(folder_st);
    if (shared) {
      if (auto fault = shared_entry_fault(st, folder_st, place, service_user)) return std::move(*fault);
    }

    if (S_ISLNK(st.st_mode)) {
      // Where a link leads is up to whoever may remake it, and a folder that passes may still
      // show another user's link (an overlay over a user's lower folder).
      if (!trusted_user(st.st_uid, service_user)) return UntrustedPlace{std::move(place), Changer::user, st.st_uid};
      if (++links > kMaxLinks) return WalkFailed{ELOOP};
      std::array<char, PATH_MAX> target{};
      const ssize_t length = ::readlinkat(entry.get(), "", target.data(), target.size());
      if (length < 0) return WalkFailed{errno};
      if (static_cast<std::size_t>(length) >= target.size()) return WalkFailed{ENAMETOOLONG};
      const std::string_view text(target.data(), static_cast<std::size_t>(length));
      if (text.empty()) return WalkFailed{ENOENT};
      push_names(pending, text);
      if (text.front() == '/') {
        auto root = open_root(folder_st, service_user);
        if (auto* fault = std::get_if<UntrustedPlace>(&root)) return std::move(*fault);
        if (auto* failed = std::get_if<WalkFailed>(&root)) return *failed;
        folder = std::move(std::get<Fd>(root));
        folders.clear();
      }
      continue;
    }

    if (S_ISDIR(st.st_mode)) {
      if (auto fault = folder_fault(entry.get(), st, std::move(place), service_user, !shared)) {
        return std::move(*fault);
      }
      folder = std::move(entry);
      folder_st = st;
      folders.push_back(name);
      continue;
    }

    // Anything else ends the walk; a name after it cannot be looked up.
    if (!pending.empty()) return WalkFailed{ENOTDIR};
    return walk_end(folder, name, st, entry.get(), std::move(place));
  }
  const int object = folder.get();
  return walk_end(folder, ".", folder_st, object, place_text(folders));
}

std::string describe(const UntrustedPlace& fault) {
  switch (fault.changer) {
    case Changer::user:
      return fmt::format("its path passes through {}, which user {} may change", fault.place, fault.id);
    case Changer::group:
      return fmt::format("its path passes through {}, which group {} may change", fault.place, fault.id);
    case Changer::anyone:
      return fmt::format("its path passes through {}, which any user may change", fault.place);
    case Changer::added_by_group:
      return fmt::format("its path passes through {}, which lies in a folder group {} may add to", fault.place,
                         fault.id);
    case Changer::added_by_anyone:
      return fmt::format("its path passes through {}, which lies in a folder any user may add to", fault.place);
    case Changer::kernel:
      return fmt::format("its path ends on {}, which is not an image file or a block device", fault.place);
    case Changer::unknown:
      return fmt::format("its path passes through {}, whose owner cannot be told", fault.place);
  }
  return fmt::format("its path passes through {}", fault.place);
}

}  // namespace kavel_lib::platform::posix
