// The demo's sample NTFS volume: a small folder tree under \docs with live and deleted files at
// several depths, a deleted subfolder whose entry its parent's index still holds, a deleted
// compiler output (a name the noise filter drops) and a deleted file outside \docs. Its USN
// journal holds the create records of the live files and the delete records of the files
// deleted in the last session; two older deletions have already left the journal. $LogFile
// holds the delete transactions (index entry removal and record deallocation) of the last
// session. Built with the NTFS volume builder; the same bytes every time.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace kavel_test::sample {

// The folder the demo scans, as the scanner names it once the image is mapped as drive E.
inline constexpr const char* kDemoFolder = "E:\\docs";

struct SampleEntry {
  std::string path;         // from the volume root, '\' separated, e.g. "\docs\letters\reply.docx"
  std::uint64_t record = 0;  // its FILE record number
  std::uint64_t size = 0;    // bytes of data (0 for folders)
  std::uint64_t allocated = 0;  // what its $FILE_NAME gives as allocated size
  bool folder = false;
  bool deleted = false;
  bool in_journal = false;  // the journal holds its delete record
  bool in_log = false;      // $LogFile holds its delete transaction
};

struct SampleVolume {
  std::vector<std::uint8_t> image;
  std::vector<SampleEntry> entries;  // in the order they were added (record numbers ascending)
};

// Builds the volume; a text says what went wrong in the builder.
std::expected<SampleVolume, std::string> make_sample_volume();

}  // namespace kavel_test::sample
