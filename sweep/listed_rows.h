// SPDX-License-Identifier: GPL-3.0-or-later
// The rows the catalogue holds, by first cluster (or record number), size and name: a deep
// scan lists a file it finds only when the tree walk did not list it already.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include "core/found_files.h"

namespace pyralis {

class ListedRows {
 public:
  // Every row FoundFiles holds now.
  ListedRows() {
    for (int32_t i = 0; i < FoundFiles.Count(); ++i)
      Add(FoundFiles[i].Inode, FoundFiles[i].Size, FoundFiles[i].Name);
  }
  // True, and listed from now on, when no row of that inode, size and name is held yet.
  bool Add(int64_t inode, int64_t size, const std::string& name) {
    return keys_.emplace(inode, size, name).second;
  }

 private:
  std::set<std::tuple<int64_t, int64_t, std::string>> keys_;
};

}  // namespace pyralis
