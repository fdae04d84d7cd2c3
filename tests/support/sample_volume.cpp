#include "support/sample_volume.h"

#include <map>
#include <utility>

#include "support/log_pages.h"
#include "support/ntfs_builder.h"

namespace kavel_test::sample {
namespace {

using ntfs::DeletedIndexEntry;
using ntfs::EntryOptions;
using ntfs::LogRecordSpec;
using ntfs::UsnRecordSpec;
using ntfs::VolumeBuilder;

constexpr std::uint32_t kClusterSize = 4096;
constexpr std::uint32_t kRecordSize = 1024;

// USN reasons and file attributes as Windows writes them.
constexpr std::uint32_t kReasonDataExtend = 0x00000002;
constexpr std::uint32_t kReasonFileCreate = 0x00000100;
constexpr std::uint32_t kReasonFileDelete = 0x00000200;
constexpr std::uint32_t kReasonClose = 0x80000000;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeArchive = 0x20;

// 2024-05-06 09:10:00 UTC, the time of the first journal record; each later one is 7 s on.
constexpr std::int64_t kSessionStart = 133594902000000000;
constexpr std::int64_t kStep = 70000000;

// File contents: readable text, the same every run.
std::string text_of(const std::string& seed, std::size_t size) {
  std::string out;
  out.reserve(size);
  std::size_t line = 0;
  while (out.size() < size) {
    out += seed + " line " + std::to_string(++line) + "\n";
  }
  out.resize(size);
  return out;
}

// The record operations of one deletion, as NTFS logs them: the name leaves its folder's index
// root (DeleteIndexEntryRoot, undone by AddIndexEntryRoot), the attribute values are updated,
// and the FILE record is freed (DeallocateFileRecordSegment, undone by
// InitializeFileRecordSegment) at its place in the MFT.
std::vector<LogRecordSpec> delete_transaction(std::uint32_t transaction, std::uint64_t parent_reference,
                                              std::uint64_t reference, const std::string& name,
                                              std::uint64_t mft_first_cluster) {
  const std::uint64_t record = reference & 0xFFFFFFFFFFFFull;
  const std::uint64_t per_cluster = kClusterSize / kRecordSize;
  const auto vcn = static_cast<std::int64_t>(record / per_cluster);
  const auto block = static_cast<std::uint16_t>((record % per_cluster) * (kRecordSize / 512));
  const std::int64_t lcn = static_cast<std::int64_t>(mft_first_cluster) + vcn;

  std::vector<LogRecordSpec> out;
  LogRecordSpec index;
  index.redo_operation = 13;
  index.undo_operation = 12;
  index.redo_data = name_record_bytes(LogName{parent_reference, reference, name, 1});
  index.undo_data = index.redo_data;
  index.target_attribute = 0x90;
  index.target_vcn = vcn;
  index.cluster_block_offset = block;
  index.target_block_size = kRecordSize / 512;
  index.lcns = {lcn};
  index.transaction_id = transaction;
  out.push_back(std::move(index));

  LogRecordSpec update;
  update.redo_operation = 7;  // UpdateResidentValue: the standard information of the parent
  update.undo_operation = 7;
  update.redo_data = std::vector<std::uint8_t>(48, 0x20);
  update.undo_data = std::vector<std::uint8_t>(48, 0x10);
  update.attribute_offset = 0x18;
  update.target_vcn = vcn;
  update.cluster_block_offset = block;
  update.target_block_size = kRecordSize / 512;
  update.lcns = {lcn};
  update.transaction_id = transaction;
  out.push_back(std::move(update));

  LogRecordSpec free_record;
  free_record.redo_operation = 3;
  free_record.undo_operation = 2;
  free_record.redo_data = std::vector<std::uint8_t>(8, 0);
  free_record.target_vcn = vcn;
  free_record.cluster_block_offset = block;
  free_record.target_block_size = kRecordSize / 512;
  free_record.lcns = {lcn};
  free_record.transaction_id = transaction;
  out.push_back(std::move(free_record));
  return out;
}

class Sample {
 public:
  Sample() : b_(ntfs::Options{.cluster_size = kClusterSize, .record_size = kRecordSize}) {}

  std::uint64_t folder(std::uint64_t parent, const std::string& name, EntryOptions options = {}) {
    const std::uint64_t n = b_.add_folder(parent, name, options);
    note(n, parent, name, 0, true, options.deleted);
    return n;
  }
  std::uint64_t file(std::uint64_t parent, const std::string& name, std::size_t size, EntryOptions options = {}) {
    const std::uint64_t n = b_.add_file(parent, name, text_of(name, size), options);
    note(n, parent, name, size, false, options.deleted);
    return n;
  }

  // Journal: a create record for every live entry, then delete records for `recent` in order.
  void journal(const std::vector<std::uint64_t>& recent) {
    ntfs::UsnJournalSpec desc;
    desc.sparse_head = 64 * 1024;  // older records have been dropped from the journal
    std::int64_t time = kSessionStart;
    auto record = [&](std::uint64_t n, std::uint32_t reason) {
      const SampleEntry& e = entries_.at(index_.at(n));
      UsnRecordSpec r;
      r.version = 2;
      r.file_reference = b_.reference(n);
      r.parent_reference = b_.reference(parents_.at(n));
      r.reason = reason;
      r.name = names_.at(n);
      r.time_stamp = time;
      r.attributes = e.folder ? kAttributeDirectory : kAttributeArchive;
      time += kStep;
      desc.records.push_back(std::move(r));
    };
    for (const SampleEntry& e : entries_) {
      if (e.deleted) continue;
      record(e.record, kReasonFileCreate);
      record(e.record, kReasonClose | kReasonFileCreate | (e.folder ? 0 : kReasonDataExtend));
    }
    for (std::uint64_t n : recent) {
      record(n, kReasonClose | kReasonFileDelete);
      entries_.at(index_.at(n)).in_journal = true;
    }
    b_.set_usn_journal(std::move(desc));
  }

  // $LogFile: the delete transactions of `recent`, with some unrelated activity between them.
  void log(const std::vector<std::uint64_t>& recent, std::uint64_t mft_first_cluster) {
    ntfs::LogFileSpec desc;
    std::uint32_t transaction = 0x40;
    for (std::uint64_t n : recent) {
      LogRecordSpec other;
      other.redo_operation = 8;  // UpdateNonresidentValue of an unrelated stream
      other.undo_operation = 8;
      other.redo_data = std::vector<std::uint8_t>(512, 0x61);
      other.undo_data = std::vector<std::uint8_t>(512, 0x62);
      other.target_vcn = 300;
      other.lcns = {2100};
      other.transaction_id = transaction++;
      desc.records.push_back(std::move(other));
      for (auto& r : delete_transaction(transaction++, b_.reference(parents_.at(n)), b_.reference(n), names_.at(n),
                                        mft_first_cluster)) {
        desc.records.push_back(std::move(r));
      }
      entries_.at(index_.at(n)).in_log = true;
    }
    b_.set_log_file(std::move(desc));
  }

  VolumeBuilder& builder() { return b_; }
  std::vector<SampleEntry>& entries() { return entries_; }

 private:
  void note(std::uint64_t n, std::uint64_t parent, const std::string& name, std::size_t size, bool is_folder,
            bool deleted) {
    std::string path = "\\" + name;
    if (parent != VolumeBuilder::root()) path = entries_.at(index_.at(parent)).path + path;
    const std::uint64_t allocated = (size + kClusterSize - 1) / kClusterSize * kClusterSize;
    index_[n] = entries_.size();
    parents_[n] = parent;
    names_[n] = name;
    entries_.push_back(SampleEntry{path, n, size, is_folder ? 0 : allocated, is_folder, deleted, false, false});
  }

  VolumeBuilder b_;
  std::vector<SampleEntry> entries_;
  std::map<std::uint64_t, std::size_t> index_;
  std::map<std::uint64_t, std::uint64_t> parents_;
  std::map<std::uint64_t, std::string> names_;
};

}  // namespace

std::expected<SampleVolume, std::string> make_sample_volume() {
  Sample s;
  const EntryOptions gone{.deleted = true};
  const std::uint64_t root = VolumeBuilder::root();

  const std::uint64_t docs = s.folder(root, "docs");
  s.file(docs, "readme.txt", 310);
  const std::uint64_t letters = s.folder(docs, "letters");
  s.file(letters, "to-the-bank.txt", 1800);
  const std::uint64_t old_reply = s.file(letters, "reply-draft.docx", 14000, gone);
  const std::uint64_t year = s.folder(letters, "2023");
  const std::uint64_t summary = s.file(year, "summary.md", 700, gone);
  s.file(year, "taxes.pdf", 30000);
  // A whole folder deleted: its entry still stands in the index root of \docs.
  const std::uint64_t holiday =
      s.folder(docs, "holiday", {.deleted = true, .index_entry = DeletedIndexEntry::KeptInIndex});
  const std::uint64_t beach = s.file(holiday, "beach.jpg", 52000, gone);
  const std::uint64_t map = s.file(holiday, "map.png", 6000, gone);
  const std::uint64_t build = s.folder(docs, "build");
  s.file(build, "main.c", 2400);
  const std::uint64_t object = s.file(build, "parser_core-1a2b3c.o", 9000, gone);
  const std::uint64_t budget = s.file(docs, "budget 2024.xlsx", 9100, {.fragments = 2, .deleted = true});
  const std::uint64_t notes = s.file(docs, "meeting notes.txt", 420, gone);
  s.file(docs, "report-2023.docx", 23456, gone);
  const std::uint64_t unicode = s.file(docs, "Ünïcødé résumé.txt", 500, gone);
  (void)old_reply;
  (void)object;
  const std::uint64_t other = s.folder(root, "other");
  s.file(other, "contacts.txt", 900);
  const std::uint64_t shopping = s.file(other, "shopping-list.txt", 250, gone);

  // Deleted in the last session, in this order. reply-draft.docx, report-2023.docx and the
  // compiler output were deleted long before and have left the journal and the log.
  const std::vector<std::uint64_t> recent{beach, map, holiday, summary, budget, notes, unicode, shopping};
  s.journal(recent);
  // The log names only ASCII names (its name records are written as such).
  const std::vector<std::uint64_t> logged{beach, map, holiday, summary, budget, notes, shopping};

  // The log's records name clusters of the MFT, known once the layout is fixed: lay it out once,
  // then write the log with them (its size, and so the layout, does not change).
  s.log(logged, 0);
  auto first = s.builder().build();
  if (!first) return std::unexpected(first.error());
  const auto extents = s.builder().mft_extents();
  if (extents.empty()) return std::unexpected(std::string("the builder placed no MFT"));
  s.log(logged, extents.front().first);
  auto image = s.builder().build();
  if (!image) return std::unexpected(image.error());
  if (s.builder().mft_extents() != extents) return std::unexpected(std::string("the MFT moved between builds"));
  return SampleVolume{std::move(*image), std::move(s.entries())};
}

}  // namespace kavel_test::sample
