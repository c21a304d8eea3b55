// SPDX-License-Identifier: GPL-3.0-or-later
// Volumes formatted by Windows: they mount without a complaint, large clusters included,
// and list no file that a user deleted.
#include <gtest/gtest.h>

#include "core/found_files.h"
#include "ntfs/ntfs_internal.h"
#include "rawdisk/raw_disk_access_component.h"
#include "tests/ntfs/ntfs_test_drive.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis::test {
namespace {

using namespace pyralis::ntfs;

struct Sample {
  const char* file;
  uint32_t cluster_size;
};

class NtfsSampleTest : public ::testing::TestWithParam<Sample> {
 protected:
  void SetUp() override {
    image_ = shared_fixture(GetParam().file);  // throws, failing the test, when missing
  }
  std::string image_;
};

TEST_P(NtfsSampleTest, MountsAndListsNoUserFiles) {
  RecordingWindow window;
  {
    const char letter = attach_image(image_);
    ASSERT_NE(letter, 0);
    TRawDiskAccessComponent component;
    component.SetLogicalDrive(letter);
    ScopedReadBuffers buffers;
    auto volume = mount_volume(&component, true);
    ASSERT_NE(volume, nullptr) << window.LogText();
    EXPECT_EQ(volume->cluster_size, GetParam().cluster_size);
    EXPECT_TRUE(window.log.empty()) << window.LogText();  // a successful mount logs nothing
    ASSERT_NE(volume->volume_bitmap_inode, nullptr);
    umount_volume(volume);
  }
  ScanActive = true;
  scan_image(image_);
  EXPECT_EQ(window.LinesWith("ERROR").size(), 0u) << window.LogText();
  EXPECT_TRUE(window.LinesWith("Couldnot").empty()) << window.LogText();
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    ADD_FAILURE() << "listed " << FoundFiles[i].Path << FoundFiles[i].Name << " (record "
                  << FoundFiles[i].Inode << ")";
  }
  EXPECT_TRUE(window.Logged("Files with potentially recoverable content: 0")) << window.LogText();
  EXPECT_EQ(window.status_files, "Files: 0");
}

INSTANTIATE_TEST_SUITE_P(Windows, NtfsSampleTest,
                         ::testing::Values(Sample{"cc0-ntfs-samples/ntfs-lastaccess.raw.gz", 4096},
                                           Sample{"cc0-ntfs-samples/ntfs-ptrn.raw.gz", 4096},
                                           Sample{"cc0-ntfs-samples/ntfs-si-vs-fn.raw.gz", 4096},
                                           Sample{"cc0-ntfs-samples/ntfs-2m.raw.gz", 2u << 20},
                                           Sample{"gpl3-samples/ntfs3.raw.gz", 4096},
                                           Sample{"gpl3-samples/ntfs3_attrlist.raw.gz", 4096}),
                         [](const auto& info) {
                           std::string name = info.param.file;
                           name = name.substr(name.find('/') + 1);
                           name = name.substr(0, name.find('.'));
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace pyralis::test
