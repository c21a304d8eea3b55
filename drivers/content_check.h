// SPDX-License-Identifier: GPL-3.0-or-later
// The content verdict of a recovered file: what the file type walks say of its bytes, given
// which of them could not be read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/recovery_outcome.h"
#include "core/row_facts.h"
#include "filetypes/filetypes.h"

namespace pyralis {

// The verdict on the bytes in `source`, a file listed as `name` (its extension names the
// type of files without a signature). `unread` are the ranges of the file that could not be
// read (zeros or missing): a file with any is never Intact; it is Damaged at its first
// unread byte (or where the walk breaks before it) when the walk says it is damaged, else
// Unchecked. A whole structure is Intact only when the walk checked its payload too, the
// structure ends where the file does and the bytes are of the type the name's extension
// promises (when it promises one); else Plausible. At Depth::kStructure a JPEG's image data
// is not decoded, so a whole JPEG is Plausible until it is checked again at Depth::kDecode.
ContentVerdict judge_content(filetypes::ByteSource& source, std::string_view name,
                             const std::vector<FileByteRange>& unread,
                             filetypes::Depth depth = filetypes::Depth::kDecode);
// Whether checking a file again at Depth::kDecode may change `verdict`, made at
// Depth::kStructure: a whole JPEG whose image data was not decoded.
bool decoding_may_tell_more(const ContentVerdict& verdict);
// The same verdict from a walk already made (at Depth::kDecode) over a file of `size` bytes.
ContentVerdict judge_walked(const filetypes::Result& result, std::string_view name, uint64_t size,
                            const std::vector<FileByteRange>& unread);

// Checks a file as it was written to disk (`outcome` of its recovery: its path and which of
// its ranges could not be read). Unchecked when nothing was written or the file cannot be
// opened.
ContentVerdict check_written_file(std::string_view name, const RecoveryOutcome& outcome);

// The bytes a content check holds in memory at most (a quarter of the machine's memory, at
// most 1 GiB); larger files are read a window of this size at a time.
uint64_t content_check_memory_limit();

}  // namespace pyralis
