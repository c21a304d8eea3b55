// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat/fat_volume.h"

#include "core/process_state.h"
#include "core/recovery_command.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace {

// The table a recovery command keeps for the next rows of the same volume: valid while the
// volume's boot sector (and so its layout) is the one it was loaded for.
struct KeptTable : RecoveryCommand::Kept {
  std::array<uint8_t, 512> boot{};
  uint64_t fat_offset = 0;
  uint64_t table_bytes = 0;
  std::shared_ptr<const TMemoryStream> image;
  std::shared_ptr<const std::vector<RequestRange>> unknown;
};

}  // namespace

std::unique_ptr<FatVolume> FatVolume::Open(TRawDiskAccessComponent& component, std::string* error) {
  uint64_t volume_bytes = 0;
  if (component.VolumeSectors() > 0 && component.SectorSize() > 0)
    volume_bytes = static_cast<uint64_t>(component.VolumeSectors()) *
                   static_cast<uint64_t>(component.SectorSize());
  const auto layout = make_fat_layout(std::span<const uint8_t, 512>(FatBootSector),
                                      component.FileSystem(), volume_bytes, error);
  if (!layout) return nullptr;
  // The sector window counts in 512-byte sectors, and so must the component: the layout
  // itself works in bytes from the boot sector's own bytes per sector.
  if (component.SectorSize() > 0 && component.SectorSize() != 512) {
    if (error)
      *error = "its transfer sectors hold " + std::to_string(component.SectorSize()) +
               " bytes, and only 512-byte transfer sectors can be read";
    return nullptr;
  }
  auto volume = std::make_unique<FatVolume>(component, *layout);
  // The table goes through a buffer of its own before the window is first filled: the
  // window serves hits from the component's buffer, which nobody may move in between.
  RecoveryCommand* command = RecoveryCommand::Current();
  const std::string key = std::string("FAT table of ") + component.LogicalDrive();
  const KeptTable* kept = command ? command->Find<KeptTable>(key) : nullptr;
  if (kept && kept->boot == FatBootSector && kept->fat_offset == layout->fat_offset &&
      kept->table_bytes == layout->table_bytes()) {
    volume->table_.adopt(kept->image, kept->unknown);
    return volume;
  }
  volume->table_.load_fat(component);
  if (command) {
    auto keep = std::make_unique<KeptTable>();
    keep->boot = FatBootSector;
    keep->fat_offset = layout->fat_offset;
    keep->table_bytes = layout->table_bytes();
    keep->image = volume->table_.shared_image();
    keep->unknown = volume->table_.shared_unknown();
    command->Keep(key, std::move(keep));
  }
  return volume;
}

FatVolume::FatVolume(TRawDiskAccessComponent& component, const FatLayout& layout)
    : component_(component), layout_(layout) {}

void FatVolume::Read(uint64_t offset, uint32_t count, TMemoryStream& dest) {
  read_to_stream_or_zeros(window_, component_, offset, count, dest, &short_read_logged_);
}

bool FatVolume::ReadClusters(uint32_t x, uint32_t clusters, TMemoryStream& dest) {
  if (clusters == 0 || !layout_.valid_cluster(x) ||
      !layout_.valid_cluster(uint64_t{x} + clusters - 1))
    return false;
  Read(layout_.cluster_offset(x), clusters * layout_.cluster_size, dest);
  return true;
}

}  // namespace pyralis
