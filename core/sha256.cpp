// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>

namespace pyralis {

namespace {
constexpr size_t kZeroBlock = 64 * 1024;
alignas(64) const uint8_t kZeros[kZeroBlock] = {};
}  // namespace

void Sha256::Free::operator()(evp_md_ctx_st* context) const {
  EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
    throw std::bad_alloc();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(const void* data, size_t size) {
  if (size > 0 && context_) EVP_DigestUpdate(context_.get(), data, size);
}

void Sha256::UpdateZeros(uint64_t size) {
  while (size > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, kZeroBlock));
    Update(kZeros, piece);
    size -= piece;
  }
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context_ || EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

}  // namespace pyralis
