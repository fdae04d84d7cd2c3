#include "support/ntfs_builder.h"

#include <algorithm>
#include <bit>
#include <fstream>
#include <numeric>
#include <set>
#include <unordered_map>

#include "support/ntfs_builder_format.h"

namespace kavel_test::ntfs {

using namespace format;

namespace {

constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kFileName = 0x30;
constexpr std::uint32_t kVolumeName = 0x60;
constexpr std::uint32_t kVolumeInformation = 0x70;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kIndexRoot = 0x90;
constexpr std::uint32_t kIndexAllocation = 0xA0;
constexpr std::uint32_t kBitmap = 0xB0;
constexpr std::uint32_t kReparsePoint = 0xC0;

constexpr std::uint16_t kInUse = 0x01;
constexpr std::uint16_t kIsDirectory = 0x02;
constexpr std::uint16_t kIsExtension = 0x04;
constexpr std::uint16_t kIsViewIndex = 0x08;

constexpr std::uint32_t kHidden = 0x02;
constexpr std::uint32_t kSystem = 0x04;
constexpr std::uint32_t kArchive = 0x20;
constexpr std::uint32_t kReparse = 0x400;
constexpr std::uint32_t kNameOfDirectory = 0x10000000;

constexpr std::uint8_t kWin32 = 1, kDos = 2, kWin32AndDos = 3;
constexpr std::uint16_t kSparse = 0x8000;

constexpr std::uint64_t kUpcaseBytes = 131072;
constexpr std::uint64_t kAttrDefBytes = 2560;
constexpr std::uint64_t kLogPage = 4096;
constexpr std::uint64_t kUsnPage = 4096;

struct Name {
  std::u16string text;
  std::uint8_t name_space = kWin32;
};

// ----- clusters ---------------------------------------------------------------------------

class ClusterMap {
 public:
  explicit ClusterMap(std::uint64_t total) : used_(total, false) {}

  // count clusters in one piece, at the first free place from hint on (then from 0).
  std::optional<std::uint64_t> take(std::uint64_t count, std::uint64_t hint) {
    if (count == 0) return hint;
    for (int pass = 0; pass < 2; ++pass) {
      std::uint64_t run = 0;
      for (std::uint64_t c = pass == 0 ? hint : 0; c < used_.size(); ++c) {
        run = used_[c] ? 0 : run + 1;
        if (run == count) {
          const std::uint64_t start = c + 1 - count;
          for (std::uint64_t i = start; i <= c; ++i) used_[i] = true;
          return start;
        }
      }
    }
    return std::nullopt;
  }

  // count clusters in `pieces` extents, a free cluster left between them.
  std::optional<std::vector<Run>> take_runs(std::uint64_t count, std::uint64_t hint, unsigned pieces) {
    std::vector<Run> runs;
    if (count == 0) return runs;
    pieces = static_cast<unsigned>(std::clamp<std::uint64_t>(pieces, 1, count));
    std::uint64_t left = count;
    for (unsigned i = 0; i < pieces; ++i) {
      const std::uint64_t n = left / (pieces - i);
      const auto at = take(n, hint);
      if (!at) return std::nullopt;
      runs.push_back(Run{static_cast<std::int64_t>(*at), n});
      hint = *at + n + 1;
      left -= n;
    }
    return runs;
  }

  void release(const std::vector<Run>& runs) {
    for (const auto& r : runs) {
      if (r.lcn < 0) continue;
      for (std::uint64_t i = 0; i < r.length; ++i) used_[static_cast<std::uint64_t>(r.lcn) + i] = false;
    }
  }

  [[nodiscard]] const std::vector<bool>& used() const { return used_; }

 private:
  std::vector<bool> used_;
};

std::uint64_t clusters_for(std::uint64_t bytes, std::uint32_t cluster) { return (bytes + cluster - 1) / cluster; }

// ----- indexes ---------------------------------------------------------------------------

struct IndexItem {
  std::uint64_t reference = 0;
  Bytes key;
  std::u16string name;
};

struct Node {
  std::vector<std::pair<const IndexItem*, std::optional<std::size_t>>> keys;  // key, left child block
  std::optional<std::size_t> end_child;
};

std::size_t entry_size(const IndexItem* item, bool child) {
  return round8(0x10 + (item ? item->key.size() : 0)) + (child ? 8 : 0);
}

std::size_t node_bytes(const Node& n) {
  std::size_t s = 0;
  for (const auto& [item, child] : n.keys) s += entry_size(item, child.has_value());
  return s + entry_size(nullptr, n.end_child.has_value());
}

// The entries of a node, each child pointer turned into the child block's VCN.
Bytes node_entries(const Node& n, std::uint64_t vcn_per_block) {
  Bytes out;
  auto add = [&](const IndexItem* item, std::optional<std::size_t> child) {
    const std::size_t size = entry_size(item, child.has_value());
    Bytes e(size, 0);
    const std::size_t key = item ? item->key.size() : 0;
    w64(e, 0, item ? item->reference : 0);
    w16(e, 8, static_cast<std::uint16_t>(size));
    w16(e, 10, static_cast<std::uint16_t>(key));
    w16(e, 12, static_cast<std::uint16_t>((child ? 1 : 0) | (item ? 0 : 2)));
    if (item) std::copy(item->key.begin(), item->key.end(), e.begin() + 0x10);
    if (child) w64(e, size - 8, *child * vcn_per_block);
    out.insert(out.end(), e.begin(), e.end());
  };
  for (const auto& [item, child] : n.keys) add(item, child);
  add(nullptr, n.end_child);
  return out;
}

Bytes node_header(std::size_t entries_offset, std::size_t entries, std::size_t allocated, bool children) {
  Bytes h(16, 0);
  w32(h, 0, static_cast<std::uint32_t>(entries_offset));
  w32(h, 4, static_cast<std::uint32_t>(entries_offset + entries));
  w32(h, 8, static_cast<std::uint32_t>(allocated));
  w8(h, 12, children ? 1 : 0);
  return h;
}

bool has_children(const Node& n) {
  if (n.end_child) return true;
  return std::any_of(n.keys.begin(), n.keys.end(), [](const auto& k) { return k.second.has_value(); });
}

Bytes index_block(const Node& n, std::uint64_t vcn, std::uint32_t block_size, std::uint64_t vcn_per_block) {
  Bytes b(block_size, 0);
  b[0] = 'I';
  b[1] = 'N';
  b[2] = 'D';
  b[3] = 'X';
  w64(b, 0x10, vcn);
  const std::size_t entries_at = round8(0x28 + 2 * (block_size / 512 + 1));
  const Bytes entries = node_entries(n, vcn_per_block);
  const Bytes header = node_header(entries_at - 0x18, entries.size(), block_size - 0x18, has_children(n));
  std::copy(header.begin(), header.end(), b.begin() + 0x18);
  std::copy(entries.begin(), entries.end(), b.begin() + static_cast<std::ptrdiff_t>(entries_at));
  protect(b, 0x28, 1);
  return b;
}

// An index of file names: the root node and the blocks below it, built bottom-up.
struct IndexTree {
  Node root;
  std::vector<Node> blocks;  // block j lies at VCN j * vcn_per_block
  std::vector<Node> freed;  // more blocks, their bits clear
};

// Splits a level into blocks until what is left fits the root (root_room bytes of entries).
std::optional<IndexTree> build_tree(const std::vector<IndexItem>& items, std::size_t root_room, std::uint32_t block_size) {
  IndexTree tree;
  std::vector<std::pair<const IndexItem*, std::optional<std::size_t>>> level;
  for (const auto& i : items) level.emplace_back(&i, std::nullopt);
  std::optional<std::size_t> end_child;
  const std::size_t block_room = block_size - round8(0x28 + 2 * (block_size / 512 + 1));
  for (int depth = 0; depth < 16; ++depth) {
    Node whole{level, end_child};
    if (node_bytes(whole) <= root_room) {
      tree.root = std::move(whole);
      return tree;
    }
    // k blocks with k - 1 separators between them, as even as the entry sizes allow.
    const std::size_t n = level.size();
    bool split = false;
    for (std::size_t k = 2; k <= n && !split; ++k) {
      std::vector<Node> made;
      std::vector<std::pair<const IndexItem*, std::optional<std::size_t>>> up;
      const std::size_t per = (n - (k - 1)) / k;
      std::size_t extra = (n - (k - 1)) % k;
      std::size_t i = 0;
      bool fits = per > 0;
      for (std::size_t b = 0; b < k && fits; ++b) {
        Node node;
        const std::size_t take = per + (extra > 0 ? 1 : 0);
        if (extra > 0) --extra;
        for (std::size_t t = 0; t < take; ++t) node.keys.push_back(level[i++]);
        if (b + 1 < k) {
          node.end_child = level[i].second;
          up.emplace_back(level[i].first, tree.blocks.size() + made.size());
          ++i;
        } else {
          node.end_child = end_child;
        }
        fits = node_bytes(node) <= block_room;
        made.push_back(std::move(node));
      }
      if (!fits) continue;
      const std::size_t last = tree.blocks.size() + made.size() - 1;
      for (auto& m : made) tree.blocks.push_back(std::move(m));
      level = std::move(up);
      end_child = last;
      split = true;
    }
    if (!split) return std::nullopt;  // no split fitted
  }
  return std::nullopt;
}

// ----- the journal and the log ---------------------------------------------------------------

std::size_t usn_record_size(const UsnRecordSpec& r) {
  const std::size_t name = 2 * utf16(r.name).size();
  switch (r.version) {
    case 2: return round8(60 + name);
    case 3: return round8(76 + name);
    default: return 64 + 16 * r.extents.size();
  }
}

Bytes usn_record(const UsnRecordSpec& r, std::int64_t usn) {
  const std::u16string name = utf16(r.name);
  Bytes b(usn_record_size(r), 0);
  w32(b, 0, static_cast<std::uint32_t>(b.size()));
  w16(b, 4, r.version);
  w64(b, 8, r.file_reference);
  if (r.version == 2) {
    w64(b, 16, r.parent_reference);
    w64(b, 24, static_cast<std::uint64_t>(usn));
    w64(b, 32, static_cast<std::uint64_t>(r.time_stamp));
    w32(b, 40, r.reason);
    w32(b, 44, r.source_info);
    w32(b, 48, r.security_id);
    w32(b, 52, r.attributes);
    w16(b, 56, static_cast<std::uint16_t>(2 * name.size()));
    w16(b, 58, 60);
    for (std::size_t i = 0; i < name.size(); ++i) w16(b, 60 + 2 * i, name[i]);
    return b;
  }
  w64(b, 16, r.file_reference_high);
  w64(b, 24, r.parent_reference);
  w64(b, 32, r.parent_reference_high);
  w64(b, 40, static_cast<std::uint64_t>(usn));
  if (r.version == 3) {
    w64(b, 48, static_cast<std::uint64_t>(r.time_stamp));
    w32(b, 56, r.reason);
    w32(b, 60, r.source_info);
    w32(b, 64, r.security_id);
    w32(b, 68, r.attributes);
    w16(b, 72, static_cast<std::uint16_t>(2 * name.size()));
    w16(b, 74, 76);
    for (std::size_t i = 0; i < name.size(); ++i) w16(b, 76 + 2 * i, name[i]);
    return b;
  }
  w32(b, 48, r.reason);
  w32(b, 52, r.source_info);
  w32(b, 56, 0);  // remaining extents
  w16(b, 60, static_cast<std::uint16_t>(r.extents.size()));
  w16(b, 62, 16);
  for (std::size_t i = 0; i < r.extents.size(); ++i) {
    w64(b, 64 + 16 * i, static_cast<std::uint64_t>(r.extents[i].first));
    w64(b, 72 + 16 * i, static_cast<std::uint64_t>(r.extents[i].second));
  }
  return b;
}

// The $J stream from its sparse head on: records packed, none crossing a 4 KiB page.
std::optional<Bytes> journal_bytes(const UsnJournalSpec& j, std::vector<std::int64_t>& usns) {
  Bytes out;
  usns.clear();
  for (const auto& r : j.records) {
    if (r.version < 2 || r.version > 4) return std::nullopt;
    const std::size_t size = usn_record_size(r);
    if (size > kUsnPage) return std::nullopt;
    const std::size_t in_page = out.size() % kUsnPage;
    if (in_page != 0 && in_page + size > kUsnPage) out.resize(out.size() + (kUsnPage - in_page), 0);
    const auto usn = static_cast<std::int64_t>(j.sparse_head + out.size());
    usns.push_back(usn);
    const Bytes b = usn_record(r, usn);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

std::optional<Bytes> log_file_bytes(const LogFileSpec& desc) {
  if (desc.size % kLogPage != 0 || desc.size < 8 * kLogPage) return std::nullopt;
  Bytes log(desc.size, 0xFF);
  const int size_bits = std::bit_width(desc.size) - 1;
  const int file_size_bits = size_bits - 3;
  const std::uint32_t seq_number_bits = static_cast<std::uint32_t>(64 - file_size_bits);
  auto lsn = [&](std::uint64_t offset) { return (std::uint64_t{1} << file_size_bits) | (offset >> 3); };

  // Record pages from page 4 on.
  std::uint64_t page = 4;
  std::size_t at = 0x40;
  Bytes current;
  std::uint64_t last_lsn = 0, previous = 0;
  auto start_page = [&]() {
    current.assign(kLogPage, 0);
    at = 0x40;
  };
  auto close_page = [&]() {
    if (current.empty()) return;
    current[0] = 'R';
    current[1] = 'C';
    current[2] = 'R';
    current[3] = 'D';
    w64(current, 0x08, last_lsn);
    w16(current, 0x14, 1);
    w16(current, 0x16, 1);
    w16(current, 0x18, static_cast<std::uint16_t>(at));
    w64(current, 0x20, last_lsn);
    protect(current, 0x28, 1);
    std::copy(current.begin(), current.end(), log.begin() + static_cast<std::ptrdiff_t>(page * kLogPage));
    ++page;
    current.clear();
  };
  for (const auto& r : desc.records) {
    const std::size_t header = 0x20 + 8 * r.lcns.size();
    const std::size_t redo_at = round8(header);
    const std::size_t undo_at = round8(redo_at + r.redo_data.size());
    const std::size_t client = round8(undo_at + r.undo_data.size());
    const std::size_t total = 0x30 + client;
    if (total > kLogPage - 0x40) return std::nullopt;
    if (current.empty()) start_page();
    if (at + total > kLogPage) {
      close_page();
      start_page();
    }
    if ((page + 1) * kLogPage > desc.size) return std::nullopt;
    Bytes rec(total, 0);
    const std::uint64_t this_lsn = lsn(page * kLogPage + at);
    w64(rec, 0x00, this_lsn);
    w64(rec, 0x08, previous);
    w64(rec, 0x10, previous);
    w32(rec, 0x18, static_cast<std::uint32_t>(client));
    w16(rec, 0x1C, 1);  // client sequence number
    w16(rec, 0x1E, 0);  // client index
    w32(rec, 0x20, 1);  // a client record
    w32(rec, 0x24, r.transaction_id);
    Bytes c(client, 0);
    w16(c, 0x00, r.redo_operation);
    w16(c, 0x02, r.undo_operation);
    w16(c, 0x04, static_cast<std::uint16_t>(redo_at));
    w16(c, 0x06, static_cast<std::uint16_t>(r.redo_data.size()));
    w16(c, 0x08, static_cast<std::uint16_t>(undo_at));
    w16(c, 0x0A, static_cast<std::uint16_t>(r.undo_data.size()));
    w16(c, 0x0C, r.target_attribute);
    w16(c, 0x0E, static_cast<std::uint16_t>(r.lcns.size()));
    w16(c, 0x10, r.record_offset);
    w16(c, 0x12, r.attribute_offset);
    w16(c, 0x14, r.cluster_block_offset);
    w16(c, 0x16, r.target_block_size);
    w64(c, 0x18, static_cast<std::uint64_t>(r.target_vcn));
    for (std::size_t i = 0; i < r.lcns.size(); ++i) w64(c, 0x20 + 8 * i, static_cast<std::uint64_t>(r.lcns[i]));
    std::copy(r.redo_data.begin(), r.redo_data.end(), c.begin() + static_cast<std::ptrdiff_t>(redo_at));
    std::copy(r.undo_data.begin(), r.undo_data.end(), c.begin() + static_cast<std::ptrdiff_t>(undo_at));
    std::copy(c.begin(), c.end(), rec.begin() + 0x30);
    std::copy(rec.begin(), rec.end(), current.begin() + static_cast<std::ptrdiff_t>(at));
    at += total;
    last_lsn = previous = this_lsn;
  }
  close_page();

  if (desc.restart_pages) {
    for (int copy = 0; copy < 2; ++copy) {
      Bytes p(kLogPage, 0);
      p[0] = 'R';
      p[1] = 'S';
      p[2] = 'T';
      p[3] = 'R';
      w64(p, 0x08, 0);  // chkdsk LSN
      w32(p, 0x10, kLogPage);
      w32(p, 0x14, kLogPage);
      w16(p, 0x18, 0x30);
      w16(p, 0x1A, static_cast<std::uint16_t>(desc.minor_version));
      w16(p, 0x1C, static_cast<std::uint16_t>(desc.major_version));
      // Restart area.
      const std::size_t ra = 0x30;
      w64(p, ra + 0x00, last_lsn);
      w16(p, ra + 0x08, 1);       // log clients
      w16(p, ra + 0x0A, 0xFFFF);  // free list
      w16(p, ra + 0x0C, 0);       // in-use list
      w16(p, ra + 0x0E, 0x0002);  // clean
      w32(p, ra + 0x10, seq_number_bits);
      w16(p, ra + 0x14, 0xD0);  // restart area length
      w16(p, ra + 0x16, 0x30);  // client array offset
      w64(p, ra + 0x18, desc.size);
      w32(p, ra + 0x20, 0);
      w16(p, ra + 0x24, 0x30);  // log record header length
      w16(p, ra + 0x26, 0x40);  // log page data offset
      w32(p, ra + 0x28, 1);
      // The one client, NTFS.
      const std::size_t cl = ra + 0x30;
      w64(p, cl + 0x00, last_lsn);
      w64(p, cl + 0x08, last_lsn);
      w16(p, cl + 0x10, 0xFFFF);
      w16(p, cl + 0x12, 0xFFFF);
      w16(p, cl + 0x14, 1);
      w32(p, cl + 0x1C, 8);
      const std::u16string name = u"NTFS";
      for (std::size_t i = 0; i < name.size(); ++i) w16(p, cl + 0x20 + 2 * i, name[i]);
      protect(p, 0x1E, 1);
      std::copy(p.begin(), p.end(), log.begin() + static_cast<std::ptrdiff_t>(copy * kLogPage));
    }
  }
  return log;
}

// ----- fixed system content ------------------------------------------------------------------

Bytes attrdef_table() {
  struct Def {
    const char16_t* name;
    std::uint32_t type, flags;
    std::uint64_t min, max;
  };
  static const Def defs[] = {
      {u"$STANDARD_INFORMATION", 0x10, 0x40, 0x30, 0x48},
      {u"$ATTRIBUTE_LIST", 0x20, 0x80, 0, ~0ull},
      {u"$FILE_NAME", 0x30, 0x42, 0x44, 0x242},
      {u"$OBJECT_ID", 0x40, 0x40, 0, 0x100},
      {u"$SECURITY_DESCRIPTOR", 0x50, 0x80, 0, ~0ull},
      {u"$VOLUME_NAME", 0x60, 0x40, 2, 0x100},
      {u"$VOLUME_INFORMATION", 0x70, 0x40, 0xC, 0xC},
      {u"$DATA", 0x80, 0x00, 0, ~0ull},
      {u"$INDEX_ROOT", 0x90, 0x40, 0, ~0ull},
      {u"$INDEX_ALLOCATION", 0xA0, 0x80, 0, ~0ull},
      {u"$BITMAP", 0xB0, 0x80, 0, ~0ull},
      {u"$REPARSE_POINT", 0xC0, 0x80, 0, 0x4000},
      {u"$EA_INFORMATION", 0xD0, 0x40, 8, 8},
      {u"$EA", 0xE0, 0x00, 0, 0x10000},
      {u"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 0x10000},
  };
  Bytes t(kAttrDefBytes, 0);
  std::size_t at = 0;
  for (const auto& d : defs) {
    const std::u16string name = d.name;
    for (std::size_t i = 0; i < name.size(); ++i) w16(t, at + 2 * i, name[i]);
    w32(t, at + 0x80, d.type);
    w32(t, at + 0x88, d.type == 0x30 ? 1 : 0);  // collation: file names, else binary
    w32(t, at + 0x8C, d.flags);
    w64(t, at + 0x90, d.min);
    w64(t, at + 0x98, d.max);
    at += 0xA0;
  }
  return t;
}

Bytes upcase_table() {
  Bytes t(kUpcaseBytes, 0);
  for (std::uint32_t c = 0; c < 65536; ++c) w16(t, 2 * c, upper(static_cast<char16_t>(c)));
  return t;
}

Bytes empty_view_index(std::uint32_t collation, std::uint32_t block_size, std::uint32_t cluster) {
  Node empty;
  Bytes v(0x20, 0);
  w32(v, 0, 0);
  w32(v, 4, collation);
  w32(v, 8, block_size);
  w8(v, 12, static_cast<std::uint8_t>(block_size >= cluster ? block_size / cluster : block_size / 512));
  const Bytes entries = node_entries(empty, 1);
  const Bytes h = node_header(0x10, entries.size(), 0x10 + entries.size(), false);
  std::copy(h.begin(), h.end(), v.begin() + 0x10);
  v.insert(v.end(), entries.begin(), entries.end());
  return v;
}

Attribute resident(std::uint32_t type, Bytes value, std::u16string name = {}) {
  Attribute a;
  a.type = type;
  a.name = std::move(name);
  a.value = std::move(value);
  a.indexed = type == kFileName;
  return a;
}

}  // namespace

// ----- the builder -----------------------------------------------------------------------------

VolumeBuilder::VolumeBuilder(Options options) : options_(std::move(options)), next_record_(options_.first_user_record) {}

std::uint64_t VolumeBuilder::add(std::uint64_t parent, std::string name, bool folder, std::string data,
                                 EntryOptions options) {
  const bool parent_ok = parent == root() || parent == extend() || (entries_.count(parent) && entries_.at(parent).folder);
  if (!parent_ok && error_.empty()) error_ = "the parent of \"" + name + "\" is not a folder";
  std::uint64_t record = options.record.value_or(next_record_);
  if (record < 16 || record == kUsnJournalRecord || entries_.count(record)) {
    if (error_.empty()) error_ = "record " + std::to_string(record) + " of \"" + name + "\" is taken";
  }
  if (!options.record) next_record_ = record + 1;
  if (options.sequence == 0 && error_.empty()) error_ = "\"" + name + "\" has sequence number 0";
  entries_[record] = Entry{record, parent, std::move(name), folder, std::move(data), std::move(options)};
  return record;
}

std::uint64_t VolumeBuilder::add_folder(std::uint64_t parent, std::string name, EntryOptions options) {
  return add(parent, std::move(name), true, {}, std::move(options));
}

std::uint64_t VolumeBuilder::add_file(std::uint64_t parent, std::string name, std::string data, EntryOptions options) {
  return add(parent, std::move(name), false, std::move(data), std::move(options));
}

std::uint64_t VolumeBuilder::reference(std::uint64_t record) const {
  if (auto it = entries_.find(record); it != entries_.end()) {
    return record | (std::uint64_t{it->second.options.sequence} << 48);
  }
  if (record == kUsnJournalRecord) return record | (std::uint64_t{1} << 48);
  return record | (std::uint64_t{record == 0 ? 1u : static_cast<unsigned>(record)} << 48);
}

std::expected<void, std::string> VolumeBuilder::write(const std::filesystem::path& path) {
  auto image = build();
  if (!image) return std::unexpected(image.error());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
  if (!out) return std::unexpected("cannot write " + path.string());
  return {};
}

std::expected<std::vector<std::uint8_t>, std::string> VolumeBuilder::build() {
  if (!error_.empty()) return std::unexpected(error_);
  const Options& o = options_;
  const std::uint32_t C = o.cluster_size;
  const std::uint32_t RS = o.record_size;
  const std::uint32_t IB = o.index_block_size;
  if (!std::has_single_bit(o.bytes_per_sector) || o.bytes_per_sector < 512 || o.bytes_per_sector > 4096 ||
      !std::has_single_bit(C) || C < o.bytes_per_sector || C > (2u << 20) || (RS != 1024 && RS != 4096) ||
      !std::has_single_bit(IB) || IB < 1024 || IB > 65536) {
    return std::unexpected("unsupported geometry");
  }
  if (o.volume_size % C != 0 || o.volume_size / C < 256 || o.volume_size > (1ull << 32)) {
    return std::unexpected("the volume size must be a multiple of the cluster size, 256 clusters to 4 GiB");
  }
  if (o.disk_offset % 512 != 0) return std::unexpected("the disk offset must be a multiple of 512");
  // The last sector holds the backup boot sector and lies outside the file system's clusters.
  const std::uint64_t total_sectors = o.volume_size / o.bytes_per_sector - 1;
  const std::uint64_t total_clusters = total_sectors / (C / o.bytes_per_sector);
  ClusterMap map(total_clusters);
  Bytes image(o.volume_size, 0);
  auto write_runs = [&](const std::vector<Run>& runs, const Bytes& data) {
    std::size_t done = 0;
    for (const auto& r : runs) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(r.length * C, data.size() - std::min(done, data.size())));
      if (r.lcn >= 0 && n > 0) {
        std::copy(data.begin() + static_cast<std::ptrdiff_t>(done), data.begin() + static_cast<std::ptrdiff_t>(done + n),
                  image.begin() + static_cast<std::ptrdiff_t>(static_cast<std::uint64_t>(r.lcn) * C));
      }
      done += static_cast<std::size_t>(r.length * C);
    }
  };
  auto nonresident = [&](std::uint32_t type, std::vector<Run> runs, std::uint64_t size, std::u16string name = {}) {
    Attribute a;
    a.type = type;
    a.name = std::move(name);
    a.resident = false;
    a.runs = std::move(runs);
    a.data_size = size;
    a.initialized_size = size;
    a.cluster_size = C;
    return a;
  };
  auto fail = [](std::string what) { return std::unexpected(std::move(what)); };

  // ---- placement of the system files --------------------------------------------------------
  const std::uint64_t boot_bytes = std::max<std::uint64_t>(8192, C);
  const auto boot = map.take(clusters_for(boot_bytes, C), 0);
  const std::uint64_t mirror_bytes = 4ull * RS;
  const auto mirror = map.take(clusters_for(mirror_bytes, C), 0);
  if (!boot || *boot != 0 || !mirror) return fail("the volume is too small");

  Bytes log;
  if (log_) {
    auto bytes = log_file_bytes(*log_);
    if (!bytes) return fail("the $LogFile description cannot be laid out");
    log = std::move(*bytes);
  } else {
    log.assign(256 * 1024, 0xFF);
  }
  const auto log_runs = map.take_runs(clusters_for(log.size(), C), 0, 1);
  if (!log_runs) return fail("no room for $LogFile");

  // The MFT: every record handed out, the spare ones, whole clusters, one per fragment at least.
  std::uint64_t last_record = std::max<std::uint64_t>(o.first_user_record, kUsnJournalRecord + 1);
  if (!entries_.empty()) last_record = std::max(last_record, entries_.rbegin()->first + 1);
  std::uint64_t records = last_record + o.spare_records;
  const std::uint64_t per_cluster = std::max<std::uint64_t>(1, C / RS);
  records = (records + per_cluster - 1) / per_cluster * per_cluster;
  const std::uint64_t mft_bytes = records * RS;
  const std::uint64_t mft_clusters = clusters_for(mft_bytes, C);
  const unsigned fragments = std::max(1u, o.mft_fragments);
  if (fragments > mft_clusters) return fail("more $MFT fragments than clusters");
  std::vector<Run> mft_runs;
  {
    // The first extent a quarter into the volume; the others alternately lower and higher.
    std::uint64_t left = mft_clusters;
    for (unsigned i = 0; i < fragments; ++i) {
      const std::uint64_t n = left / (fragments - i);
      const std::uint64_t hint = i == 0 ? total_clusters / 4 : (i % 2 == 1 ? total_clusters / 8 : total_clusters / 2) + i * 4;
      const auto at = map.take(n, hint);
      if (!at) return fail("no room for the $MFT");
      mft_runs.push_back(Run{static_cast<std::int64_t>(*at), n});
      left -= n;
    }
  }
  mft_extents_.clear();
  for (const auto& r : mft_runs) mft_extents_.emplace_back(static_cast<std::uint64_t>(r.lcn), r.length);
  const std::uint64_t mft_lcn = static_cast<std::uint64_t>(mft_runs.front().lcn);

  const std::uint64_t data_hint = total_clusters / 4 + mft_clusters + 16;
  const std::uint64_t mft_bitmap_bytes = round8((records + 7) / 8);
  std::vector<Run> mft_bitmap_runs;
  if (!o.mft_bitmap_resident) {
    auto r = map.take_runs(clusters_for(mft_bitmap_bytes, C), data_hint, 1);
    if (!r) return fail("no room for the $MFT bitmap");
    mft_bitmap_runs = std::move(*r);
  }
  const auto attrdef_runs = map.take_runs(clusters_for(kAttrDefBytes, C), data_hint, 1);
  const auto upcase_runs = map.take_runs(clusters_for(kUpcaseBytes, C), data_hint, 1);
  const std::uint64_t bitmap_bytes = round8((total_clusters + 7) / 8);
  const auto bitmap_runs = map.take_runs(clusters_for(bitmap_bytes, C), data_hint, 1);
  if (!attrdef_runs || !upcase_runs || !bitmap_runs) return fail("no room for the system files");

  // The journal.
  Bytes journal;
  std::vector<Run> j_runs;
  if (journal_) {
    if (journal_->sparse_head % std::max<std::uint64_t>(C, kUsnPage) != 0) {
      return fail("the journal's sparse head must be whole clusters and pages");
    }
    auto bytes = journal_bytes(*journal_, usns_);
    if (!bytes) return fail("a journal record cannot be written");
    journal = std::move(*bytes);
    if (journal_->sparse_head > 0) j_runs.push_back(Run{-1, journal_->sparse_head / C});
    auto r = map.take_runs(clusters_for(journal.size(), C), data_hint, 1);
    if (!r) return fail("no room for $J");
    j_runs.insert(j_runs.end(), r->begin(), r->end());
  }

  // ---- the MFT in memory ---------------------------------------------------------------------
  std::vector<Bytes> mft(records, Bytes(RS, 0));
  std::vector<bool> in_use(records, false);
  std::vector<std::vector<Run>> freed_runs;  // clusters of deleted files, freed at the end
  auto place = [&](std::uint64_t number, RecordSpec desc) -> bool {
    desc.record_size = RS;
    desc.number = number;
    auto bytes = serialize_record(desc);
    if (!bytes) return false;
    mft[number] = std::move(*bytes);
    in_use[number] = (desc.flags & kInUse) != 0;
    return true;
  };

  // Names of every entry and of the system files, with the references their folders index.
  struct Named {
    std::uint64_t record = 0;
    std::uint64_t parent = 0;
    std::vector<Name> names;
    std::uint32_t attributes = 0;  // as duplicated in $FILE_NAME
    std::uint64_t allocated = 0, size = 0;
    std::uint64_t time = kDefaultTime;
    std::uint32_t reparse_tag = 0;
    std::uint64_t reference = 0;
    bool listed = true;   // stands in its folder's index tree
    bool in_freed = false;  // stands in a freed block of its folder's index
  };
  std::map<std::uint64_t, Named> named;
  auto names_of = [](const std::string& long_name, const std::optional<std::string>& dos) {
    std::vector<Name> out;
    const std::u16string l = utf16(long_name);
    if (dos) {
      out.push_back({l, kWin32});
      out.push_back({utf16(*dos), kDos});
    } else {
      out.push_back({l, is_short_name(l) ? kWin32AndDos : kWin32});
    }
    return out;
  };
  auto fn_attributes = [&](const Named& n) {
    std::vector<Attribute> out;
    for (const auto& name : n.names) {
      out.push_back(resident(kFileName, file_name(reference(n.parent), name.text, name.name_space, n.attributes,
                                                  n.allocated, n.size, n.time, n.reparse_tag)));
    }
    return out;
  };

  const char* system_names[] = {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", ".",
                                "$Bitmap", "$Boot", "$BadClus", "$Secure", "$UpCase", "$Extend"};
  for (std::uint64_t n = 0; n < 12; ++n) {
    Named s;
    s.record = n;
    s.parent = root();
    s.names = {Name{utf16(system_names[n]), kWin32AndDos}};
    s.attributes = kHidden | kSystem | ((n == 5 || n == 11) ? kNameOfDirectory : 0);
    s.reference = reference(n);
    named[n] = s;
  }
  if (journal_) {
    Named s;
    s.record = kUsnJournalRecord;
    s.parent = extend();
    s.names = {Name{u"$UsnJrnl", kWin32AndDos}};
    s.attributes = kHidden | kSystem | kArchive;
    s.reference = reference(kUsnJournalRecord);
    named[kUsnJournalRecord] = s;
  }
  for (const auto& [record, e] : entries_) {
    Named s;
    s.record = record;
    s.parent = e.parent;
    s.names = names_of(e.name, e.options.dos_name);
    s.attributes = e.options.attributes.value_or(e.folder ? 0 : kArchive);
    if (e.options.reparse_tag) {
      s.attributes |= kReparse;
      s.reparse_tag = *e.options.reparse_tag;
    }
    if (e.folder) s.attributes |= kNameOfDirectory;
    s.size = e.data.size();
    s.allocated = e.data.size() > 0 ? clusters_for(e.data.size(), C) * C : 0;
    s.time = e.options.time;
    s.reference = reference(record);
    s.listed = !e.options.deleted || e.options.index_entry == DeletedIndexEntry::KeptInIndex;
    s.in_freed = e.options.deleted && e.options.index_entry == DeletedIndexEntry::InFreedBlock;
    named[record] = s;
  }
  // Sizes of the system files as their names tell them.
  named[0].size = named[0].allocated = mft_bytes;
  named[2].size = named[2].allocated = log.size();

  // ---- files ---------------------------------------------------------------------------------
  const std::size_t resident_limit = RS - 0x200;
  for (auto& [record, e] : entries_) {
    if (e.folder) continue;
    const Named& n = named[record];
    RecordSpec desc;
    desc.sequence = static_cast<std::uint16_t>(e.options.sequence + (e.options.deleted ? 1 : 0));
    desc.flags = e.options.deleted ? 0 : kInUse;
    desc.attributes.push_back(resident(kStandardInformation,
                                       standard_information(e.options.time, n.attributes & ~kNameOfDirectory, e.options.usn)));
    for (auto& a : fn_attributes(n)) desc.attributes.push_back(std::move(a));
    auto add_stream = [&](const std::u16string& name, const std::string& data, Residency residency, unsigned pieces) -> bool {
      const bool as_resident = residency == Residency::Resident || (residency == Residency::Auto && data.size() <= resident_limit);
      if (as_resident) {
        desc.attributes.push_back(resident(kData, Bytes(data.begin(), data.end()), name));
        return true;
      }
      auto runs = map.take_runs(clusters_for(data.size(), C), data_hint, pieces);
      if (!runs) return false;
      write_runs(*runs, Bytes(data.begin(), data.end()));
      if (e.options.deleted) freed_runs.push_back(*runs);
      desc.attributes.push_back(nonresident(kData, *runs, data.size(), name));
      return true;
    };
    if (!add_stream(u"", e.data, e.options.residency, e.options.fragments)) return fail("no room for \"" + e.name + "\"");
    for (const auto& s : e.options.streams) {
      if (!add_stream(utf16(s.name), s.data, s.residency, 1)) return fail("no room for a stream of \"" + e.name + "\"");
    }
    if (e.options.reparse_tag) {
      Bytes v(8, 0);
      w32(v, 0, *e.options.reparse_tag);
      desc.attributes.push_back(resident(kReparsePoint, v));
    }
    if (!place(record, std::move(desc))) return fail("the record of \"" + e.name + "\" overflows");
  }

  // ---- folders: their indexes ----------------------------------------------------------------
  const std::uint64_t vcn_per_block = IB >= C ? IB / C : IB / 512;
  // The children of every folder, in record order (found once: a volume may have very many).
  std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> children_of;
  for (const auto& [child, n] : named) children_of[n.parent].push_back(child);
  auto make_folder = [&](std::uint64_t record, RecordSpec desc, const std::vector<Attribute>& head) -> std::optional<std::string> {
    // The index items: every listed child under each of its names, in collation order.
    std::vector<IndexItem> items, freed_items;
    static const std::vector<std::uint64_t> kNoChildren;
    const auto listed = children_of.find(record);
    for (const std::uint64_t child : listed != children_of.end() ? listed->second : kNoChildren) {
      // A folder is not its own child, but for the root, which names itself ".".
      if (child == record && record != root()) continue;
      const Named& n = named.at(child);
      if (!n.listed && !n.in_freed) continue;
      for (const auto& name : n.names) {
        IndexItem item;
        item.reference = n.reference;
        item.key = file_name(reference(n.parent), name.text, name.name_space, n.attributes, n.allocated, n.size, n.time,
                             n.reparse_tag);
        item.name = name.text;
        (n.in_freed ? freed_items : items).push_back(std::move(item));
      }
    }
    auto order = [](const IndexItem& a, const IndexItem& b) { return collates_before(a.name, b.name); };
    std::sort(items.begin(), items.end(), order);
    std::sort(freed_items.begin(), freed_items.end(), order);

    auto root_value = [&](const Node& node) {
      Bytes v(0x10, 0);
      w32(v, 0, kFileName);
      w32(v, 4, 1);  // file-name collation
      w32(v, 8, IB);
      w8(v, 12, static_cast<std::uint8_t>(vcn_per_block));
      const Bytes entries = node_entries(node, vcn_per_block);
      const Bytes h = node_header(0x10, entries.size(), 0x10 + entries.size(), has_children(node));
      v.insert(v.end(), h.begin(), h.end());
      v.insert(v.end(), entries.begin(), entries.end());
      return v;
    };
    // Room for the root's entries: the record less everything else in it.
    std::vector<Attribute> probe = head;
    probe.push_back(resident(kIndexRoot, Bytes(0x20, 0), u"$I30"));
    probe.push_back(nonresident(kIndexAllocation, {Run{1, 1}}, IB, u"$I30"));
    probe.push_back(resident(kBitmap, Bytes(8, 0), u"$I30"));
    const std::size_t used = record_bytes(RS, probe);
    if (used >= RS) return "the record of folder " + std::to_string(record) + " overflows";
    auto tree = build_tree(items, RS - used, IB);
    if (!tree) return "the index of folder " + std::to_string(record) + " cannot be built";
    const std::size_t block_room = IB - round8(0x28 + 2 * (IB / 512 + 1));
    for (const auto& i : freed_items) {
      if (tree->freed.empty()) tree->freed.emplace_back();
      tree->freed.back().keys.emplace_back(&i, std::nullopt);
      if (node_bytes(tree->freed.back()) > block_room) {
        tree->freed.back().keys.pop_back();
        tree->freed.emplace_back().keys.emplace_back(&i, std::nullopt);
      }
    }
    for (const auto& a : head) desc.attributes.push_back(a);
    desc.attributes.push_back(resident(kIndexRoot, root_value(tree->root), u"$I30"));
    const std::size_t blocks = tree->blocks.size() + tree->freed.size();
    if (blocks > 0) {
      Bytes all;
      for (std::size_t j = 0; j < tree->blocks.size(); ++j) {
        const Bytes b = index_block(tree->blocks[j], j * vcn_per_block, IB, vcn_per_block);
        all.insert(all.end(), b.begin(), b.end());
      }
      for (std::size_t j = 0; j < tree->freed.size(); ++j) {
        const Bytes b = index_block(tree->freed[j], (tree->blocks.size() + j) * vcn_per_block, IB, vcn_per_block);
        all.insert(all.end(), b.begin(), b.end());
      }
      auto runs = map.take_runs(clusters_for(all.size(), C), data_hint, 1);
      if (!runs) return std::string("no room for an index");
      write_runs(*runs, all);
      desc.attributes.push_back(nonresident(kIndexAllocation, *runs, all.size(), u"$I30"));
      Bytes bits(round8((blocks + 7) / 8), 0);
      for (std::size_t j = 0; j < tree->blocks.size(); ++j) bits[j / 8] = static_cast<std::uint8_t>(bits[j / 8] | (1u << (j % 8)));
      desc.attributes.push_back(resident(kBitmap, bits, u"$I30"));
    }
    if (!place(record, std::move(desc))) return "the record of folder " + std::to_string(record) + " overflows";
    return std::nullopt;
  };

  for (auto& [record, e] : entries_) {
    if (!e.folder) continue;
    const Named& n = named[record];
    RecordSpec desc;
    desc.sequence = static_cast<std::uint16_t>(e.options.sequence + (e.options.deleted ? 1 : 0));
    desc.flags = static_cast<std::uint16_t>((e.options.deleted ? 0 : kInUse) | kIsDirectory);
    std::vector<Attribute> head;
    head.push_back(resident(kStandardInformation,
                            standard_information(e.options.time, n.attributes & ~kNameOfDirectory, e.options.usn)));
    for (auto& a : fn_attributes(n)) head.push_back(std::move(a));
    if (e.options.reparse_tag) {
      Bytes v(8, 0);
      w32(v, 0, *e.options.reparse_tag);
      head.push_back(resident(kReparsePoint, v));
    }
    if (auto err = make_folder(record, std::move(desc), head)) return fail(*err);
  }

  // ---- system records ------------------------------------------------------------------------
  auto system_head = [&](std::uint64_t n) {
    std::vector<Attribute> head;
    head.push_back(resident(kStandardInformation, standard_information(kDefaultTime, kHidden | kSystem, 0)));
    for (auto& a : fn_attributes(named[n])) head.push_back(std::move(a));
    return head;
  };
  auto system_record = [&](std::uint64_t n, std::vector<Attribute> more, std::uint16_t flags = kInUse) {
    RecordSpec desc;
    desc.sequence = static_cast<std::uint16_t>(reference(n) >> 48);
    desc.flags = flags;
    desc.attributes = system_head(n);
    for (auto& a : more) desc.attributes.push_back(std::move(a));
    return place(n, std::move(desc));
  };
  bool ok = true;
  {
    std::vector<Attribute> a;
    a.push_back(nonresident(kData, mft_runs, mft_bytes));
    if (o.mft_bitmap_resident) {
      a.push_back(resident(kBitmap, Bytes(mft_bitmap_bytes, 0)));  // filled below
    } else {
      a.push_back(nonresident(kBitmap, mft_bitmap_runs, mft_bitmap_bytes));
    }
    ok &= system_record(0, std::move(a));
  }
  ok &= system_record(1, {nonresident(kData, {Run{static_cast<std::int64_t>(*mirror), clusters_for(mirror_bytes, C)}}, mirror_bytes)});
  ok &= system_record(2, {nonresident(kData, *log_runs, log.size())});
  {
    Bytes info(12, 0);
    w8(info, 8, 3);
    w8(info, 9, 1);
    const std::u16string label = utf16(o.label);
    Bytes name(2 * label.size(), 0);
    for (std::size_t i = 0; i < label.size(); ++i) w16(name, 2 * i, label[i]);
    ok &= system_record(3, {resident(kVolumeName, name), resident(kVolumeInformation, info), resident(kData, {})});
  }
  ok &= system_record(4, {nonresident(kData, *attrdef_runs, kAttrDefBytes)});
  ok &= system_record(6, {nonresident(kData, *bitmap_runs, bitmap_bytes)});
  ok &= system_record(7, {nonresident(kData, {Run{0, clusters_for(boot_bytes, C)}}, boot_bytes)});
  {
    Attribute bad = nonresident(kData, {Run{-1, total_clusters}}, total_clusters * C, u"$Bad");
    bad.flags = kSparse;
    ok &= system_record(8, {resident(kData, {}), bad});
  }
  {
    Attribute sds = resident(kData, {}, u"$SDS");
    ok &= system_record(9,
                        {sds, resident(kIndexRoot, empty_view_index(0x12, IB, C), u"$SDH"),
                         resident(kIndexRoot, empty_view_index(0x10, IB, C), u"$SII")},
                        kInUse | kIsViewIndex);
  }
  ok &= system_record(10, {nonresident(kData, *upcase_runs, kUpcaseBytes)});
  if (!ok) return fail("a system record overflows");
  for (std::uint64_t n = 12; n < 16; ++n) {
    RecordSpec desc;
    desc.sequence = static_cast<std::uint16_t>(n);
    desc.flags = kInUse;
    desc.attributes = {resident(kStandardInformation, standard_information(kDefaultTime, kHidden | kSystem, 0)),
                       resident(kData, {})};
    place(n, std::move(desc));
  }
  if (journal_) {
    Bytes max(32, 0);
    w64(max, 0, journal_->maximum_size);
    w64(max, 8, journal_->allocation_delta);
    w64(max, 16, journal_->journal_id);
    w64(max, 24, static_cast<std::uint64_t>(journal_->lowest_valid_usn.value_or(static_cast<std::int64_t>(journal_->sparse_head))));
    Attribute j = nonresident(kData, j_runs, journal_->sparse_head + journal.size(), u"$J");
    j.flags = kSparse;
    RecordSpec desc;
    desc.sequence = 1;
    desc.flags = kInUse | kIsExtension;
    desc.attributes.push_back(resident(kStandardInformation, standard_information(kDefaultTime, kHidden | kSystem | kArchive, 0)));
    for (auto& a : fn_attributes(named[kUsnJournalRecord])) desc.attributes.push_back(std::move(a));
    desc.attributes.push_back(resident(kData, max, u"$Max"));
    desc.attributes.push_back(j);
    if (!place(kUsnJournalRecord, std::move(desc))) return fail("the journal's record overflows");
    std::vector<Run> on_disk;
    for (const auto& r : j_runs) {
      if (r.lcn >= 0) on_disk.push_back(r);
    }
    write_runs(on_disk, journal);
  }
  for (std::uint64_t n : {root(), extend()}) {
    RecordSpec desc;
    desc.sequence = static_cast<std::uint16_t>(n);
    desc.flags = kInUse | kIsDirectory;
    if (auto err = make_folder(n, std::move(desc), system_head(n))) return fail(*err);
  }

  // ---- bitmaps and the MFT on disk -----------------------------------------------------------
  Bytes mft_bitmap(mft_bitmap_bytes, 0);
  for (std::uint64_t n = 0; n < records; ++n) {
    if (in_use[n]) mft_bitmap[n / 8] = static_cast<std::uint8_t>(mft_bitmap[n / 8] | (1u << (n % 8)));
  }
  if (o.mft_bitmap_resident) {
    // Rewrite record 0 with the bitmap's value.
    RecordSpec desc;
    desc.sequence = 1;
    desc.flags = kInUse;
    desc.attributes = system_head(0);
    desc.attributes.push_back(nonresident(kData, mft_runs, mft_bytes));
    desc.attributes.push_back(resident(kBitmap, mft_bitmap));
    if (!place(0, std::move(desc))) return fail("record 0 overflows");
  } else {
    write_runs(mft_bitmap_runs, mft_bitmap);
  }
  Bytes all_records;
  all_records.reserve(mft_bytes);
  for (const auto& r : mft) all_records.insert(all_records.end(), r.begin(), r.end());
  write_runs(mft_runs, all_records);
  write_runs({Run{static_cast<std::int64_t>(*mirror), clusters_for(mirror_bytes, C)}},
             Bytes(all_records.begin(), all_records.begin() + static_cast<std::ptrdiff_t>(mirror_bytes)));
  write_runs(*log_runs, log);
  write_runs(*attrdef_runs, attrdef_table());
  write_runs(*upcase_runs, upcase_table());

  for (const auto& r : freed_runs) map.release(r);
  Bytes cluster_bitmap(bitmap_bytes, 0);
  for (std::uint64_t c = 0; c < total_clusters; ++c) {
    if (map.used()[c]) cluster_bitmap[c / 8] = static_cast<std::uint8_t>(cluster_bitmap[c / 8] | (1u << (c % 8)));
  }
  for (std::uint64_t c = total_clusters; c < bitmap_bytes * 8; ++c) {
    cluster_bitmap[c / 8] = static_cast<std::uint8_t>(cluster_bitmap[c / 8] | (1u << (c % 8)));
  }
  write_runs(*bitmap_runs, cluster_bitmap);

  // ---- boot sector and its backup ------------------------------------------------------------
  Bytes bs(512, 0);
  bs[0] = 0xEB;
  bs[1] = 0x52;
  bs[2] = 0x90;
  const char oem[] = "NTFS    ";
  std::copy(oem, oem + 8, bs.begin() + 3);
  w16(bs, 0x0B, static_cast<std::uint16_t>(o.bytes_per_sector));
  const std::uint32_t spc = C / o.bytes_per_sector;
  w8(bs, 0x0D, spc <= 128 ? static_cast<std::uint8_t>(spc) : static_cast<std::uint8_t>(256 - std::bit_width(spc) + 1));
  w8(bs, 0x15, 0xF8);
  w16(bs, 0x18, 63);
  w16(bs, 0x1A, 255);
  w32(bs, 0x1C, static_cast<std::uint32_t>(o.disk_offset / 512));
  w32(bs, 0x24, 0x00800080);
  w64(bs, 0x28, total_sectors);
  w64(bs, 0x30, mft_lcn);
  w64(bs, 0x38, *mirror);
  auto size_byte = [&](std::uint32_t size) {
    return size >= C ? static_cast<std::uint8_t>(size / C) : static_cast<std::uint8_t>(256 - (std::bit_width(size) - 1));
  };
  w8(bs, 0x40, size_byte(RS));
  w8(bs, 0x44, size_byte(IB));
  w64(bs, 0x48, o.serial_number);
  bs[510] = 0x55;
  bs[511] = 0xAA;
  std::copy(bs.begin(), bs.end(), image.begin());
  std::copy(bs.begin(), bs.end(), image.begin() + static_cast<std::ptrdiff_t>(total_sectors * o.bytes_per_sector));

  if (o.disk_offset == 0) return image;
  Bytes disk(o.disk_offset, 0);
  disk[510] = 0x55;
  disk[511] = 0xAA;
  const std::size_t e = 446;
  disk[e + 1] = 0xFE;
  disk[e + 2] = 0xFF;
  disk[e + 3] = 0xFF;
  disk[e + 4] = 0x07;
  disk[e + 5] = 0xFE;
  disk[e + 6] = 0xFF;
  disk[e + 7] = 0xFF;
  w32(disk, e + 8, static_cast<std::uint32_t>(o.disk_offset / 512));
  w32(disk, e + 12, static_cast<std::uint32_t>(o.volume_size / 512));
  disk.insert(disk.end(), image.begin(), image.end());
  return disk;
}

}  // namespace kavel_test::ntfs
