// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 (FIPS 180-4), computed incrementally over what a recovery writes, so that the
// digest of a recovered file comes without reading it back. The hashing is libcrypto's
// (OpenSSL's EVP interface), which uses the processor's SHA instructions where it has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace pyralis {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // Feeds `size` zero bytes (from one static zero block: no allocation, memory speed).
  void UpdateZeros(uint64_t size);
  // The digest as 64 lower-case hex digits. Ends the computation.
  std::string HexDigest();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
};

}  // namespace pyralis
