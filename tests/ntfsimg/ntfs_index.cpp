// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ntfsimg/ntfs_index.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace pyralis::test::ntfs {

namespace {

constexpr uint16_t kEntryHasSubnode = 0x01;
constexpr uint16_t kEntryLast = 0x02;
constexpr size_t kRootHeader = 0x20;  // 0x10 root fields + 0x10 index header

size_t entry_size(const IndexKey& key, bool subnode) {
  return align8(0x10 + key.file_name.size()) + (subnode ? 8 : 0);
}
size_t end_entry_size(bool subnode) {
  return 0x10 + (subnode ? 8 : 0);
}

// Index entry: 0x00 file reference, 0x08 entry length, 0x0A key length, 0x0C flags,
// 0x10 key, sub-node VCN in the last 8 bytes.
void append_entry(Bytes& out, const IndexKey* key, const int64_t* subnode_vcn) {
  const size_t length = key ? entry_size(*key, subnode_vcn) : end_entry_size(subnode_vcn);
  const size_t at = out.size();
  out.resize(at + length, 0);
  uint8_t* e = &out[at];
  uint16_t flags = key ? 0 : kEntryLast;
  if (subnode_vcn) flags |= kEntryHasSubnode;
  if (key) {
    put64(e + 0x00, key->file_reference);
    put16(e + 0x0A, static_cast<uint16_t>(key->file_name.size()));
    std::memcpy(e + 0x10, key->file_name.data(), key->file_name.size());
  }
  put16(e + 0x08, static_cast<uint16_t>(length));
  put16(e + 0x0C, flags);
  if (subnode_vcn) put64(e + length - 8, static_cast<uint64_t>(*subnode_vcn));
}

// A node's entries: keys[first, last) with children[first..last] below them (children empty
// for a leaf).
Bytes node_entries(const std::vector<IndexKey>& keys, size_t first, size_t last,
                   const std::vector<int64_t>& children) {
  Bytes out;
  const bool inner = !children.empty();
  for (size_t i = first; i < last; ++i) append_entry(out, &keys[i], inner ? &children[i] : nullptr);
  append_entry(out, nullptr, inner ? &children[last] : nullptr);
  return out;
}

size_t usa_count(size_t size) {
  return size / kFixupStride + 1;
}
size_t block_entries_offset(uint32_t irs) {
  return align8(0x28 + 2 * usa_count(irs));
}

// INDX block: 0x00 "INDX", 0x04 USA offset, 0x06 USA count, 0x08 LSN, 0x10 VCN of the block,
// 0x18 index header (entry offset and sizes counted from 0x18), 0x28 USA.
Bytes make_block(const Bytes& entries, int64_t vcn, bool inner, uint32_t irs) {
  Bytes b(irs, 0);
  const size_t first = block_entries_offset(irs);
  if (first + entries.size() > irs) throw std::logic_error("index block overflow");
  std::memcpy(b.data(), "INDX", 4);
  put16(&b[0x04], 0x28);
  put16(&b[0x06], static_cast<uint16_t>(usa_count(irs)));
  put64(&b[0x10], static_cast<uint64_t>(vcn));
  put32(&b[0x18], static_cast<uint32_t>(first - 0x18));
  put32(&b[0x1C], static_cast<uint32_t>(first - 0x18 + entries.size()));
  put32(&b[0x20], static_cast<uint32_t>(irs - 0x18));
  b[0x24] = inner ? 1 : 0;
  std::memcpy(&b[first], entries.data(), entries.size());
  apply_fixups(b.data(), irs, 1);
  return b;
}

Bytes make_root(uint32_t indexed_type, uint32_t collation, const Bytes& entries, bool large,
                uint32_t irs, uint32_t cluster_size) {
  Bytes v(kRootHeader + entries.size(), 0);
  put32(&v[0x00], indexed_type);
  put32(&v[0x04], collation);
  put32(&v[0x08], irs);
  v[0x0C] = static_cast<uint8_t>(vcns_per_index_block(irs, cluster_size));
  put32(&v[0x10], 0x10);                                          // first entry
  put32(&v[0x14], static_cast<uint32_t>(0x10 + entries.size()));  // bytes in use
  put32(&v[0x18], static_cast<uint32_t>(0x10 + entries.size()));  // bytes allocated
  v[0x1C] = large ? 1 : 0;
  std::memcpy(&v[kRootHeader], entries.data(), entries.size());
  return v;
}

}  // namespace

uint32_t vcns_per_index_block(uint32_t index_record_size, uint32_t cluster_size) {
  return index_record_size >= cluster_size ? index_record_size / cluster_size
                                           : index_record_size / 512;
}

Bytes empty_index_root(uint32_t indexed_type, uint32_t collation, uint32_t index_record_size,
                       uint32_t cluster_size) {
  Bytes end;
  append_entry(end, nullptr, nullptr);
  return make_root(indexed_type, collation, end, false, index_record_size, cluster_size);
}

IndexLayout build_file_name_index(std::vector<IndexKey> keys, size_t root_space, uint32_t irs,
                                  uint32_t cluster_size) {
  std::stable_sort(keys.begin(), keys.end(), [](const IndexKey& a, const IndexKey& b) {
    return collate_file_names(a.name, b.name) < 0;
  });
  IndexLayout layout;
  size_t leaf_bytes = end_entry_size(false);
  for (const IndexKey& k : keys) leaf_bytes += entry_size(k, false);
  if (kRootHeader + leaf_bytes <= root_space) {
    layout.root_value = make_root(kAttrFileName, 1, node_entries(keys, 0, keys.size(), {}), false,
                                  irs, cluster_size);
    return layout;
  }
  const size_t capacity = irs - block_entries_offset(irs);
  const int64_t step = vcns_per_index_block(irs, cluster_size);
  auto emit = [&](const Bytes& entries, bool inner) {
    const int64_t vcn = static_cast<int64_t>(layout.blocks.size()) * step;
    layout.blocks.push_back(make_block(entries, vcn, inner, irs));
    return vcn;
  };

  // Leaves: fill each block greedily; the key that does not fit moves up as separator. The
  // last key never becomes a separator, so no leaf is left empty.
  std::vector<IndexKey> separators;
  std::vector<int64_t> children;
  {
    std::vector<IndexKey> node;
    size_t used = end_entry_size(false);
    for (size_t i = 0; i < keys.size(); ++i) {
      const size_t need = entry_size(keys[i], false);
      if (used + need <= capacity) {
        node.push_back(keys[i]);
        used += need;
        continue;
      }
      if (i + 1 == keys.size()) {  // keep the last key in a leaf of its own
        separators.push_back(node.back());
        node.pop_back();
        children.push_back(emit(node_entries(node, 0, node.size(), {}), false));
        node.assign(1, keys[i]);
        break;
      }
      children.push_back(emit(node_entries(node, 0, node.size(), {}), false));
      separators.push_back(keys[i]);
      node.clear();
      used = end_entry_size(false);
    }
    children.push_back(emit(node_entries(node, 0, node.size(), {}), false));
  }

  // Inner levels until the top level fits in the root.
  for (;;) {
    size_t level_bytes = end_entry_size(true);
    for (const IndexKey& k : separators) level_bytes += entry_size(k, true);
    if (kRootHeader + level_bytes <= root_space) break;
    std::vector<IndexKey> up_separators;
    std::vector<int64_t> up_children;
    size_t i = 0;
    while (i < children.size()) {
      const size_t first = i;
      size_t used = end_entry_size(true);
      while (i < separators.size() && used + entry_size(separators[i], true) <= capacity) {
        used += entry_size(separators[i], true);
        ++i;
      }
      up_children.push_back(emit(node_entries(separators, first, i, children), true));
      if (i < separators.size()) up_separators.push_back(separators[i]);
      ++i;
    }
    separators = std::move(up_separators);
    children = std::move(up_children);
  }
  layout.root_value =
      make_root(kAttrFileName, 1, node_entries(separators, 0, separators.size(), children), true,
                irs, cluster_size);
  layout.bitmap.assign(align8((layout.blocks.size() + 7) / 8), 0);
  for (size_t b = 0; b < layout.blocks.size(); ++b) layout.bitmap[b / 8] |= 1u << (b % 8);
  return layout;
}

}  // namespace pyralis::test::ntfs
