// SPDX-License-Identifier: GPL-3.0-or-later
// The deleted-file scan's parts that the tests reach directly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pyralis {

class FatVolume;

// The bounds of the directory walk: deeper directories are not entered.
constexpr int kMaxDirectoryDepth = 128;

// 33, 66 or 99: 66 when the first cluster is free in the table, raised (33 to 66, 66 to 99)
// when the extension has a row in the signature table and the cluster starts with its two
// bytes. A first cluster outside the data area gives 33.
int estimate_recovery_quality(FatVolume& volume, uint32_t first_cluster,
                              std::string_view extension);

}  // namespace pyralis
