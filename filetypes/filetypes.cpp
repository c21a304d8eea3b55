// SPDX-License-Identifier: GPL-3.0-or-later
#include "filetypes/filetypes.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace pyralis::filetypes {

size_t MemorySource::Read(uint64_t offset, void* dest, size_t count) {
  if (offset >= bytes_.size()) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, bytes_.size() - offset));
  std::memcpy(dest, bytes_.data() + offset, n);
  return n;
}

Kind identify(std::span<const uint8_t> head) {
  if (head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return Kind::kJpeg;
  return Kind::kUnknown;
}

Result check(ByteSource& source, std::string_view extension) {
  Result result;
  uint8_t head[64] = {};
  const size_t n = source.Read(0, head, sizeof head);
  result.kind = identify({head, n});
  return result;
}

std::string_view kind_name(Kind kind) {
  return kind == Kind::kJpeg ? "JPEG" : "";
}
std::string_view kind_extension(Kind kind) {
  return kind == Kind::kJpeg ? "jpg" : "";
}
Category kind_category(Kind kind) {
  return kind == Kind::kJpeg ? Category::kPictures : Category::kOther;
}
Kind kind_of_extension(std::string_view extension) {
  std::string e(extension);
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e == "jpg" || e == "jpeg" ? Kind::kJpeg : Kind::kUnknown;
}

}  // namespace pyralis::filetypes
