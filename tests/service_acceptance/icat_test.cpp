// icat_to_file through the built service on the real volumes: the Sleuth Kit's icat in its
// mode for deleted files, with and without a byte cap, and its failures as "ICAT" replies.
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ipc/messages.h"
#include "service_acceptance/manifest_files.h"
#include "service_acceptance/running_service.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace kavel_test::service_acceptance {
namespace {

using kavel_lib::ipc::IpcRequest;

class ServiceIcat : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = service_run_missing()) GTEST_SKIP() << *why;
    if (auto why = program_missing("icat")) GTEST_SKIP() << *why;
    service_ = std::make_unique<RunningService>();
    ASSERT_TRUE(service_->ready()) << service_->output();
  }
  void TearDown() override {
    if (service_) {
      EXPECT_TRUE(service_->alive()) << service_->output();
    }
  }

  static DeletedFile manifest_file(const std::string& manifest, const std::string& path) {
    for (const auto& file : manifest_deleted_files(real_volumes_dir() / manifest)) {
      if (file.path == path) return file;
    }
    ADD_FAILURE() << path << " is not in " << manifest;
    return {};
  }

  static IpcRequest icat(const std::string& fs, char letter, std::uint64_t inode, const std::filesystem::path& dest,
                         std::uint64_t max_bytes) {
    return IpcRequest::IcatToFile{fs, device_path(letter), std::to_string(inode), 0, dest.string(), true, max_bytes};
  }

  std::unique_ptr<RunningService> service_;
  TempDir out_;
};

TEST_F(ServiceIcat, RecoverWithoutCapGivesTheWholeDeletedFile) {
  const auto large = manifest_file("manifest-ntfs.tsv", "docs/2/deleted-large-1000000.bin");
  ASSERT_TRUE(large.inode);
  const auto whole = out_ / "whole" / "large.bin";
  ASSERT_EQ(call_text(icat("ntfs", kNtfsLetter, *large.inode, whole, 0)), kOk);
  EXPECT_EQ(std::filesystem::file_size(whole), 1'000'000u);
  EXPECT_EQ(sha256_of_file(whole), large.sha256);

  // A resident deleted file comes out of its record.
  const auto tiny = manifest_file("manifest-ntfs.tsv", "docs/2/tiny-90.txt");
  ASSERT_TRUE(tiny.inode);
  const auto small = out_ / "tiny.txt";
  ASSERT_EQ(call_text(icat(" NTFS ", kNtfsLetter, *tiny.inode, small, 0)), kOk);
  EXPECT_EQ(sha256_of_file(small), tiny.sha256);
}

TEST_F(ServiceIcat, RecoverWithCapGivesTheFirstBytes) {
  const auto large = manifest_file("manifest-ntfs.tsv", "docs/2/deleted-large-1000000.bin");
  ASSERT_TRUE(large.inode);
  const auto whole = out_ / "whole.bin";
  ASSERT_EQ(call_text(icat("ntfs", kNtfsLetter, *large.inode, whole, 0)), kOk);
  ASSERT_EQ(sha256_of_file(whole), large.sha256);
  const std::string bytes = read_file(whole);

  for (const std::uint64_t cap : {std::uint64_t{1}, std::uint64_t{4096}, std::uint64_t{65536}, std::uint64_t{999'999}}) {
    const auto part = out_ / ("first-" + std::to_string(cap) + ".bin");
    ASSERT_EQ(call_text(icat("ntfs", kNtfsLetter, *large.inode, part, cap)), kOk) << cap;
    EXPECT_EQ(read_file(part), bytes.substr(0, cap)) << cap;
  }
  // A cap above the file's size takes the whole file.
  const auto over = out_ / "over.bin";
  ASSERT_EQ(call_text(icat("ntfs", kNtfsLetter, *large.inode, over, 2'000'000)), kOk);
  EXPECT_EQ(sha256_of_file(over), large.sha256);
}

TEST_F(ServiceIcat, RecoverFromFat32) {
  const auto medium = manifest_file("manifest-fat32.tsv", "docs/2/deleted-medium-45000.bin");
  ASSERT_TRUE(medium.inode);
  const auto dest = out_ / "medium.bin";
  ASSERT_EQ(call_text(icat("fat", kFat32Letter, *medium.inode, dest, 0)), kOk);
  EXPECT_EQ(sha256_of_file(dest), medium.sha256);
}

TEST_F(ServiceIcat, FailuresAreIcatReplies) {
  // A record number beyond the MFT: icat fails, and nothing is left at the destination.
  const auto missing = out_ / "missing.bin";
  const std::string beyond = call_text(icat("ntfs", kNtfsLetter, 999'999, missing, 0));
  EXPECT_TRUE(beyond.starts_with("error: ICAT: ")) << beyond;
  EXPECT_FALSE(std::filesystem::exists(missing));
  // The wrong file-system type for the volume.
  const std::string wrong = call_text(icat("fat", kNtfsLetter, 83, out_ / "wrong.bin", 0));
  EXPECT_TRUE(wrong.starts_with("error: ICAT: ")) << wrong;
  // A device the drive table does not map.
  const std::string unmapped = call_text(icat("ntfs", 'Q', 83, out_ / "unmapped.bin", 0));
  EXPECT_TRUE(unmapped.starts_with("error: ICAT: ")) << unmapped;
  EXPECT_EQ(call_text(IpcRequest::IcatToFile{"ext4", device_path(kNtfsLetter), "83", 0, (out_ / "x").string(), true, 0}),
            "error: ICAT: unsupported icat fs type: ext4");
  EXPECT_EQ(call_text(IpcRequest::IcatToFile{"ntfs", device_path(kNtfsLetter), "  ", 0, (out_ / "x").string(), true, 0}),
            "error: ICAT: invalid inode");
}

}  // namespace
}  // namespace kavel_test::service_acceptance
