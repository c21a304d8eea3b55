// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 (FIPS 180-4), computed incrementally over what a recovery writes, so that the
// digest of a recovered file comes without reading it back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pyralis {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  // Feeds `size` zero bytes.
  void UpdateZeros(uint64_t size);
  // The digest as 64 lower-case hex digits. Ends the computation.
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_{};
  size_t pending_size_ = 0;
  uint64_t total_ = 0;  // bytes fed
};

}  // namespace pyralis
