// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/saved_scan.h"

#include <bit>
#include <cstring>
#include <span>
#include <utility>

#include "core/sha256.h"
#include "platform/byte_loads.h"

namespace pyralis {

namespace {

constexpr char kMagic[16] = "PYRALIS SCAN 1\n";
constexpr size_t kDigestBytes = 32;
// Bounds a damaged file cannot exceed: a text of a row, the extents of one row.
constexpr size_t kMaxText = 65535;
constexpr uint32_t kMaxExtents = 1u << 20;

class Writer {
 public:
  void Raw(const void* data, size_t size) { out_.append(static_cast<const char*>(data), size); }
  void Int(uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out_.push_back(static_cast<char>(value >> (8 * i)));
  }
  void U8(uint8_t v) { Int(v, 1); }
  void U32(uint32_t v) { Int(v, 4); }
  void U64(uint64_t v) { Int(v, 8); }
  void Double(double v) { U64(std::bit_cast<uint64_t>(v)); }
  void Text(const std::string& text) {
    const size_t n = std::min(text.size(), kMaxText);
    Int(n, 2);
    Raw(text.data(), n);
  }
  std::string& bytes() { return out_; }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  uint64_t Int(size_t width) {
    if (!ok_ || !platform::span_has(bytes_, at_, width)) {
      ok_ = false;
      return 0;
    }
    const uint64_t v = platform::load_le(bytes_, at_, width);
    at_ += width;
    return v;
  }
  uint8_t U8() { return static_cast<uint8_t>(Int(1)); }
  uint32_t U32() { return static_cast<uint32_t>(Int(4)); }
  uint64_t U64() { return Int(8); }
  double Double() { return std::bit_cast<double>(U64()); }
  std::string Text() {
    const auto n = static_cast<size_t>(Int(2));
    if (!ok_ || !platform::span_has(bytes_, at_, n)) {
      ok_ = false;
      return {};
    }
    std::string text(reinterpret_cast<const char*>(bytes_.data() + at_), n);
    at_ += n;
    return text;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

std::string digest_bytes(const std::string& data, size_t size) {
  Sha256 sha;
  sha.Update(data.data(), size);
  return sha.HexDigest();
}

}  // namespace

std::string encode_saved_scan(const TFoundFiles& rows, const VolumeIdentity& volume) {
  Writer w;
  w.Raw(kMagic, sizeof kMagic);
  w.U64(volume.serial);
  w.U64(volume.size);
  w.Text(volume.digest);
  w.Text(volume.file_system);
  w.U32(static_cast<uint32_t>(rows.Count()));
  for (int32_t i = 0; i < rows.Count(); ++i) {
    const FoundFileRecord& r = rows[i];
    w.U64(static_cast<uint64_t>(r.Inode));
    w.U64(static_cast<uint64_t>(r.Sector));
    w.U64(static_cast<uint64_t>(r.Size));
    w.U8(static_cast<uint8_t>(r.RecoveryQuality));
    w.Double(r.Created);
    w.Double(r.Modified);
    w.Text(r.Name);
    w.Text(r.Path);
    const RowFacts& f = rows.Facts(i);
    w.U8(static_cast<uint8_t>(f.origin));
    w.U8(f.exfat_facts);
    w.U8(f.no_fat_chain);
    w.U64(f.valid_data_length);
    w.U64(f.record_offset);
    w.U32(static_cast<uint32_t>(f.extents.size()));
    for (const ByteExtent& e : f.extents) {
      w.U64(e.offset);
      w.U64(e.length);
    }
    w.U8(static_cast<uint8_t>(f.content.state));
    w.U64(f.content.damaged_at);
    w.Text(f.content.type);
  }
  // The digest of the hex text is kept as its 32 bytes.
  const std::string hex = digest_bytes(w.bytes(), w.bytes().size());
  for (size_t i = 0; i < kDigestBytes; ++i)
    w.U8(static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16)));
  return std::move(w.bytes());
}

bool decode_saved_scan(const std::string& bytes, TFoundFiles& rows, VolumeIdentity& volume,
                       std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (bytes.size() < sizeof kMagic + kDigestBytes ||
      std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return fail("it is not a saved scan");
  const size_t body = bytes.size() - kDigestBytes;
  const std::string hex = digest_bytes(bytes, body);
  for (size_t i = 0; i < kDigestBytes; ++i) {
    if (static_cast<uint8_t>(bytes[body + i]) !=
        static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16)))
      return fail("the saved scan is damaged (its checksum does not match)");
  }
  Reader r(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), body));
  for (size_t i = 0; i < sizeof kMagic; ++i) r.U8();
  VolumeIdentity identity;
  identity.serial = r.U64();
  identity.size = r.U64();
  identity.digest = r.Text();
  identity.file_system = r.Text();
  const uint32_t count = r.U32();
  TFoundFiles found;
  for (uint32_t i = 0; i < count && r.ok(); ++i) {
    FoundFileRecord rec;
    rec.Inode = static_cast<int64_t>(r.U64());
    rec.Sector = static_cast<int64_t>(r.U64());
    rec.Size = static_cast<int64_t>(r.U64());
    rec.RecoveryQuality = static_cast<int8_t>(r.U8());
    rec.Created = r.Double();
    rec.Modified = r.Double();
    rec.Name = r.Text();
    rec.Path = r.Text();
    RowFacts f;
    const uint8_t origin = r.U8();
    if (origin > static_cast<uint8_t>(RowOrigin::kCarved)) return fail("the saved scan is damaged");
    f.origin = static_cast<RowOrigin>(origin);
    f.exfat_facts = r.U8() != 0;
    f.no_fat_chain = r.U8() != 0;
    f.valid_data_length = r.U64();
    f.record_offset = r.U64();
    const uint32_t extents = r.U32();
    if (extents > kMaxExtents) return fail("the saved scan is damaged");
    for (uint32_t e = 0; e < extents && r.ok(); ++e) {
      const uint64_t offset = r.U64();
      f.extents.push_back({offset, r.U64()});
    }
    const uint8_t state = r.U8();
    if (state > static_cast<uint8_t>(ContentState::kPlausible))
      return fail("the saved scan is damaged");
    f.content.state = static_cast<ContentState>(state);
    f.content.damaged_at = r.U64();
    f.content.type = r.Text();
    if (r.ok()) found.append(std::move(rec), std::move(f));
  }
  if (!r.ok() || !r.AtEnd()) return fail("the saved scan is damaged");
  rows = std::move(found);
  volume = std::move(identity);
  return true;
}

}  // namespace pyralis
