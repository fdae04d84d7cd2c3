// A builder-made NTFS volume mapped as E: with a folder tree for the record-number phases,
// and a phase context over it whose scope is built from the volume itself.
//
//   E:\docs\2                          the scanned folder
//     report-a.txt         deleted
//     sub\                 live
//       deep-b.txt         deleted
//       sub2\              live
//         deeper-c.txt     deleted
//     gone\                deleted, its entry kept in 2's index
//       lost-d.txt         deleted, kept in gone's index
//       gone2\             deleted, kept in gone's index
//         lost-e.txt       deleted, kept in gone2's index
//       far-g.txt          deleted, kept in gone's index, 9000 records past gone
//     near-f.txt           deleted, 5000 records past the folder
//     far-h.txt            deleted, 9000 records past the folder
//     keep.txt             live
//   E:\docs\other\other-x.txt  deleted, outside the scope
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/raw_mft/volume_access.h"
#include "scanner/console_output.h"
#include "scanner/directory_scope.h"
#include "scanner/phase_context.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace kavel_lib::scanner::phase_test {

namespace ew = engine::windows;
using kavel_test::ntfs::DeletedIndexEntry;
using kavel_test::ntfs::VolumeBuilder;

struct TreeRecords {
  std::uint64_t folder = 0, sub = 0, sub2 = 0, gone = 0, gone2 = 0;
  std::uint64_t report_a = 0, deep_b = 0, deeper_c = 0, lost_d = 0, lost_e = 0, keep = 0, other_x = 0;
  std::uint64_t far_g = 0, near_f = 0, far_h = 0;
};

// The volume, written and mapped as E: for the life of the object.
class TreeVolume {
 public:
  TreeVolume() : builder_({.volume_size = 32u << 20}) {
    auto& b = builder_;
    auto& r = records_;
    const auto kept = EntryOptionsKept();
    const auto docs = b.add_folder(b.root(), "docs");
    r.folder = b.add_folder(docs, "2");
    r.sub = b.add_folder(r.folder, "sub");
    r.sub2 = b.add_folder(r.sub, "sub2");
    r.gone = b.add_folder(r.folder, "gone", kept);
    r.gone2 = b.add_folder(r.gone, "gone2", kept);
    r.report_a = b.add_file(r.folder, "report-a.txt", "a", {.deleted = true});
    r.deep_b = b.add_file(r.sub, "deep-b.txt", "b", {.deleted = true});
    r.deeper_c = b.add_file(r.sub2, "deeper-c.txt", "c", {.deleted = true});
    r.lost_d = b.add_file(r.gone, "lost-d.txt", "d", kept);
    r.lost_e = b.add_file(r.gone2, "lost-e.txt", "e", kept);
    r.keep = b.add_file(r.folder, "keep.txt", "k");
    const auto other = b.add_folder(docs, "other");
    r.other_x = b.add_file(other, "other-x.txt", "x", {.deleted = true});
    auto at = [&](std::uint64_t record, bool keep_entry) {
      kavel_test::ntfs::EntryOptions o{.deleted = true, .record = record};
      if (keep_entry) o.index_entry = DeletedIndexEntry::KeptInIndex;
      return o;
    };
    r.far_g = b.add_file(r.gone, "far-g.txt", "g", at(r.gone + 9000, true));
    r.near_f = b.add_file(r.folder, "near-f.txt", "f", at(r.folder + 5000, false));
    r.far_h = b.add_file(r.folder, "far-h.txt", "h", at(r.folder + 9000, false));
    auto written = b.write(dir_ / "tree.img");
    if (!written) {
      why_ = written.error();
      return;
    }
    env_.emplace("KAVEL_DRIVES", "E=" + (dir_ / "tree.img").string());
    ready_ = true;
  }

  [[nodiscard]] const TreeRecords& records() const { return records_; }
  [[nodiscard]] std::uint64_t reference(std::uint64_t record) const { return builder_.reference(record); }
  [[nodiscard]] bool ready() const { return ready_; }
  [[nodiscard]] const std::string& why() const { return why_; }

 private:
  static kavel_test::ntfs::EntryOptions EntryOptionsKept() {
    return {.deleted = true, .index_entry = DeletedIndexEntry::KeptInIndex};
  }

  TreeRecords records_;
  VolumeBuilder builder_;
  kavel_test::TempDir dir_;
  std::optional<kavel_test::ScopedEnv> env_;
  bool ready_ = false;
  std::string why_;
};

// A phase context over the mapped volume: the scope built from it, fresh counters and record
// cache, progress lines captured, and a budget a test may spend beforehand.
class VolumeContext {
 public:
  VolumeContext(std::string_view folder, ew::ScanOptions options) : options_(options) {
    auto volume = ew::open_volume_by_letter('E');
    if (!volume) {
      why_ = volume.error().display();
      return;
    }
    volume_.emplace(std::move(*volume));
    auto data = ew::query_ntfs_volume_data(*volume_);
    if (!data) {
      why_ = data.error().display();
      return;
    }
    data_ = *data;
    const ew::VolumeGeometry geometry = ew::record_reader_geometry(data_);
    auto scope = build_directory_scope(folder, *volume_, geometry);
    if (!scope) {
      why_ = scope.error().display();
      return;
    }
    scope_ = std::move(*scope);
    ctx_.reset(new PhaseContext{nullptr, *volume_, geometry, data_, scope_, options_, context_, cache_, 'E',
                                std::max(data_.bytes_per_file_record_segment(), ew::kMinRecordSize),
                                ew::ScanClock::now(), ew::TimeBudget{3600, 0}, nullptr});
  }

  [[nodiscard]] bool ready() const { return ctx_ != nullptr; }
  [[nodiscard]] const std::string& why() const { return why_; }
  PhaseContext& ctx() { return *ctx_; }
  [[nodiscard]] const ew::DirectoryScope& scope() const { return scope_; }
  ew::ScanContext& counters() { return context_; }
  ew::MftRecordCache& cache() { return cache_; }
  ew::UsnCandidateMap& usn_map() { return usn_map_; }

  void spend_budget() { ctx_->budget = ew::TimeBudget{0, 0}; }
  void use_usn_map() { ctx_->usn_map = &usn_map_; }

  // The orchestrator's progress callback, printing into out().
  [[nodiscard]] ProgressFn progress() {
    return progress_to([this](std::string_view text) { out_ += text; });
  }
  [[nodiscard]] const std::string& out() const { return out_; }

 private:
  ew::ScanOptions options_;
  std::optional<ew::VolumeHandle> volume_;
  ew::NtfsVolumeData data_;
  ew::DirectoryScope scope_;
  ew::ScanContext context_;
  ew::MftRecordCache cache_;
  ew::UsnCandidateMap usn_map_;
  std::unique_ptr<PhaseContext> ctx_;
  std::string out_;
  std::string why_;
};

// The collector's entries as (record number, path), sorted.
inline std::vector<std::pair<std::uint64_t, std::string>> found(const ew::CollectorState& collector) {
  std::vector<std::pair<std::uint64_t, std::string>> out;
  for (const auto& e : collector.entries) out.emplace_back(e.frn, e.path);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace kavel_lib::scanner::phase_test
