// SPDX-License-Identifier: GPL-3.0-or-later
// The NTFS deep scan: FILE records that lie outside the current $MFT's runs (after a format
// the new, smaller $MFT leaves the older records past its end in place; MFT fragments
// elsewhere survive too), their folders rebuilt from the parent references among all the
// records found.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/row_facts.h"
#include "sweep/sweep.h"

namespace pyralis {

class TRawDiskAccessComponent;

// Looks at every record-size-aligned position of the volume (the MFT's clusters, and so its
// records, are aligned to the record size on volumes whose clusters are at least a record
// long) for a record with the "FILE" signature, valid fix-ups and a sound header.
class NtfsRecordRecogniser : public Recogniser {
 public:
  struct Folder {
    std::string name;
    int64_t parent = 0;
  };
  struct FileAt {
    uint64_t offset = 0;  // volume byte of the record
    int64_t number = 0;
  };

  // `skip`: the volume's byte ranges whose records are not looked at (the current $MFT).
  NtfsRecordRecogniser(uint32_t record_size, std::vector<ByteExtent> skip);
  void OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
               std::span<const RequestRange> unreadable) override;

  const std::unordered_map<int64_t, Folder>& folders() const { return folders_; }
  const std::vector<FileAt>& files() const { return files_; }

 private:
  bool Skipped(uint64_t offset) const;

  uint32_t record_size_;
  std::vector<ByteExtent> skip_;
  std::vector<uint8_t> scratch_;
  std::unordered_map<int64_t, Folder> folders_;  // directory records by number
  std::vector<FileAt> files_;
};

// The folder path of a record whose parent is `parent`, from the folders found: "C:\" for
// the root, "C:\Dir\Sub\"; a path cut by a folder that was not found starts "C:\?\".
std::string ntfs_deep_path(const std::unordered_map<int64_t, NtfsRecordRecogniser::Folder>& folders,
                           int64_t parent, const std::string& root);

// The deep scan of an NTFS volume after its MFT scan: one sweep, then a row for every file
// record found outside the current $MFT that the catalogue does not hold yet. Returns the
// rows added.
int64_t ntfs_deep_scan(TRawDiskAccessComponent& component, std::span<Recogniser* const> extra = {});

}  // namespace pyralis
