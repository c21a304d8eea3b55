// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/fat/fat_test_volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include "core/process_state.h"
#include "drivers/drivers.h"
#include "platform/drive_table.h"

namespace pyralis::test {

namespace {

void put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}

}  // namespace

FatTestVolume::FatTestVolume(const TempDir& dir, int fat_bits, int kib, const std::string& extra)
    : image_(dir.file("fat" + std::to_string(fat_bits) + ".img")), fat_bits_(fat_bits) {
  std::string output;
  const std::string command = "mkfs.fat -C -F " + std::to_string(fat_bits) + " -n TESTVOL " +
                              extra + " " + shell_quote(image_) + " " + std::to_string(kib);
  EXPECT_EQ(run_command(command, &output), 0) << command << "\n" << output;
}

void FatTestVolume::Tool(const std::string& command, const std::string& args) {
  std::string output;
  const std::string line =
      "MTOOLS_SKIP_CHECK=1 " + command + " -i " + shell_quote(image_) + " " + args;
  EXPECT_EQ(run_command(line, &output), 0) << line << "\n" << output;
}

void FatTestVolume::Put(const std::string& path, const std::string& content) {
  const std::string source = image_ + ".put";
  write_file(source, content);
  Tool("mcopy -o", shell_quote(source) + " " + shell_quote(path));
  std::remove(source.c_str());
}

std::string FatTestVolume::ReadAt(uint64_t offset, size_t count) const {
  std::ifstream in(image_, std::ios::binary);
  std::string bytes(count, '\0');
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return bytes;
}

FatLayout FatTestVolume::Layout() const {
  const std::string bytes = ReadAt(0, 512);
  std::array<uint8_t, 512> sector{};
  std::copy(bytes.begin(), bytes.end(), sector.begin());
  std::string error;
  const auto layout = make_fat_layout(sector, fat_bits_ == 32 ? "FAT32" : "FAT", 0, &error);
  EXPECT_TRUE(layout.has_value()) << error;
  return layout.value_or(FatLayout{});
}

void FatTestVolume::Patch(uint64_t offset, const std::string& bytes) const {
  std::fstream image(image_, std::ios::in | std::ios::out | std::ios::binary);
  image.seekp(static_cast<std::streamoff>(offset));
  image.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(image.good()) << "patching " << image_ << " at " << offset;
}

void FatTestVolume::WriteRoot(const std::vector<std::string>& entries) const {
  std::string joined;
  for (const auto& e : entries) joined += e;
  Patch(Layout().root_region_offset, joined);
}

void FatTestVolume::WriteCluster(uint32_t cluster, const std::string& bytes) const {
  Patch(Layout().cluster_offset(cluster), bytes);
}

void FatTestVolume::SetFat16(uint32_t cluster, uint16_t value) const {
  std::string e(2, '\0');
  put16(e, 0, value);
  Patch(Layout().fat_offset + cluster * 2, e);
}

namespace {

// Byte offsets of the 32-byte slots of the folder starting at `cluster` and of every live
// folder below it, following the table's chains.
void folder_slots(const FatTestVolume& v, const FatLayout& l, uint32_t cluster, int depth,
                  std::vector<uint64_t>& slots) {
  for (int n = 0; depth < 32 && n < 65536 && l.valid_cluster(cluster); ++n) {
    const uint64_t base = l.cluster_offset(cluster);
    const std::string bytes = v.ReadAt(base, l.cluster_size);
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
      slots.push_back(base + at);
      const auto b = [&](size_t i) { return uint32_t{static_cast<uint8_t>(bytes[at + i])}; };
      if (b(0) == 0 || b(0) == 0xE5 || b(0) == '.' || b(11) == 0x0F || (b(11) & 0x18) != 0x10)
        continue;
      folder_slots(v, l, b(26) | b(27) << 8 | b(20) << 16 | b(21) << 24, depth + 1, slots);
    }
    const std::string entry = v.ReadAt(l.fat_offset + uint64_t{cluster} * 4, 4);
    if (entry.size() < 4) break;
    const auto e = [&](size_t i) { return uint32_t{static_cast<uint8_t>(entry[i])}; };
    const uint32_t next = (e(0) | e(1) << 8 | e(2) << 16 | e(3) << 24) & 0x0FFFFFFF;
    if (next < 2 || next >= 0x0FFFFFF8) break;
    cluster = next;
  }
}

}  // namespace

void FatTestVolume::DeleteAsWindows(const std::string& path, bool tree) {
  const FatLayout l = Layout();
  ASSERT_EQ(l.kind, FatKind::kFat32);
  std::vector<uint64_t> slots;
  folder_slots(*this, l, l.root_cluster, 0, slots);
  std::vector<std::string> before;
  for (uint64_t at : slots) before.push_back(ReadAt(at, 32));
  if (tree)
    DeleteTree(path);
  else
    Delete(path);
  for (size_t i = 0; i < slots.size(); ++i) {
    const std::string after = ReadAt(slots[i], 32);
    if (after.size() < 32 || static_cast<uint8_t>(before[i][0]) == 0xE5 ||
        static_cast<uint8_t>(after[0]) != 0xE5 || static_cast<uint8_t>(after[11]) == 0x0F)
      continue;
    Patch(slots[i] + 20, std::string(2, '\0'));
  }
}

void scan_image(const std::string& image) {
  platform::reset_drive_table();
  platform::attach_sources({image});
  FoundFiles.clear();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c');
}

void recover_row(int32_t row, const std::string& folder) {
  RecoveryActive = true;
  undelete_found_file('c', row, folder + "/");
}

std::vector<const FoundFileRecord*> rows_named(const std::string& name) {
  std::vector<const FoundFileRecord*> rows;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i)
    if (FoundFiles[i].Name == name) rows.push_back(&FoundFiles[i]);
  return rows;
}

int32_t row_index(const std::string& name) {
  for (int32_t i = 0; i < FoundFiles.Count(); ++i)
    if (FoundFiles[i].Name == name) return i;
  return -1;
}

std::vector<FlsEntry> fls_deleted(const std::string& image) {
  std::string output;
  EXPECT_EQ(run_command("fls -r -d -p " + shell_quote(image), &output), 0) << output;
  static const std::regex line(R"(^(.)/(.) \* (\d+)(\(realloc\))?:\t(.*)$)");
  std::vector<FlsEntry> entries;
  std::istringstream in(output);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) continue;
    FlsEntry e;
    e.directory = m[1] == "d";
    e.inode = std::stoull(m[3]);
    e.path = m[5];
    e.name = e.path.substr(e.path.rfind('/') + 1);
    entries.push_back(e);
  }
  return entries;
}

uint32_t istat_first_cluster(const std::string& image, uint64_t inode, const FatLayout& layout) {
  std::string output;
  run_command("istat " + shell_quote(image) + " " + std::to_string(inode), &output);
  const size_t at = output.find("Sectors:\n");
  if (at == std::string::npos) return 0;
  std::istringstream in(output.substr(at + 9));
  uint64_t sector = 0;
  if (!(in >> sector) || sector < layout.first_data_sector) return 0;
  return static_cast<uint32_t>((sector - layout.first_data_sector) / layout.sectors_per_cluster +
                               2);
}

std::string short_entry(const std::string& name83, uint8_t attributes, uint32_t cluster,
                        uint32_t size, uint16_t date, uint16_t time) {
  std::string e(32, '\0');
  std::string name = name83;
  name.resize(11, ' ');
  e.replace(0, 11, name);
  e[11] = static_cast<char>(attributes);
  put16(e, 14, time);
  put16(e, 16, date);
  put16(e, 20, static_cast<uint16_t>(cluster >> 16));
  put16(e, 22, time);
  put16(e, 24, date);
  put16(e, 26, static_cast<uint16_t>(cluster & 0xFFFF));
  put16(e, 28, static_cast<uint16_t>(size & 0xFFFF));
  put16(e, 30, static_cast<uint16_t>(size >> 16));
  return e;
}

std::string long_entry(uint8_t sequence, const std::u16string& units) {
  std::string e(32, '\0');
  e[0] = static_cast<char>(sequence);
  e[11] = 0x0F;
  static const size_t kSlots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < 13; ++i) {
    const uint16_t u = i < units.size() ? units[i] : i == units.size() ? 0x0000 : 0xFFFF;
    put16(e, kSlots[i], u);
  }
  return e;
}

}  // namespace pyralis::test
