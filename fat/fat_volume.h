// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's state for one scan or recovery call: the checked layout, the table in memory
// and the 20-sector window through which directories, signatures and file content are read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/cluster_buffer.h"
#include "fat/fat_layout.h"
#include "fat/fat_table.h"

namespace pyralis {

class TRawDiskAccessComponent;

class FatVolume {
 public:
  // Checks FatBootSector against the component's file-system name and length, then loads the
  // table. On failure returns nullptr and puts the reason into *error.
  static std::unique_ptr<FatVolume> Open(TRawDiskAccessComponent& component, std::string* error);

  FatVolume(TRawDiskAccessComponent& component, const FatLayout& layout);
  FatVolume(const FatVolume&) = delete;
  FatVolume& operator=(const FatVolume&) = delete;

  const FatLayout& layout() const { return layout_; }
  const FatTable& table() const { return table_; }
  TRawDiskAccessComponent& component() { return component_; }

  // Appends exactly `count` bytes at volume byte `offset` to `dest` (zeros where the volume
  // delivers nothing; LastUnreadable() then says which bytes of the request those are).
  void Read(uint64_t offset, uint32_t count, TMemoryStream& dest);
  const std::vector<RequestRange>& LastUnreadable() const { return window_.Unreadable(); }
  // Appends `clusters` whole clusters from cluster x on; clusters outside the data area
  // append nothing. Returns false when x .. x + clusters - 1 is not inside the data area.
  bool ReadClusters(uint32_t x, uint32_t clusters, TMemoryStream& dest);

 private:
  TRawDiskAccessComponent& component_;
  FatLayout layout_;
  TBuffer window_{20};
  FatTable table_{layout_};
  bool short_read_logged_ = false;  // one line per call for bytes the volume did not deliver
};

}  // namespace pyralis
