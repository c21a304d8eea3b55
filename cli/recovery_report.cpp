// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/recovery_report.h"

#include "cli/output_formats.h"
#include "core/found_files.h"

namespace pyralis::cli {

void write_recovery_report(std::ostream& out, const std::vector<ReportEntry>& entries) {
  out << "{\"files\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    const ReportEntry& e = entries[i];
    const RecoveryOutcome& o = e.outcome;
    const bool written = !o.written_path.empty();
    out << (i ? ",\n  " : "\n  ") << "{\"row\": " << e.row << ", \"inode\": " << e.inode
        << ", \"name\": " << json_string(e.name) << ", \"path\": " << json_string(e.path)
        << ", \"estimate\": {\"status\": " << json_string(quality_to_text(e.estimate))
        << ", \"percent\": " << (e.estimate >= 0 ? std::to_string(e.estimate) : "null") << "}"
        << ", \"file\": " << (written ? json_string(o.written_path) : "null")
        << ", \"size\": " << o.size << ", \"bytes_written\": " << o.bytes_written
        << ", \"outcome\": \"" << recovery_result_text(o.result) << "\", \"unreadable\": [";
    for (size_t r = 0; r < o.unreadable.size(); ++r)
      out << (r ? ", " : "") << "{\"offset\": " << o.unreadable[r].offset
          << ", \"length\": " << o.unreadable[r].length << "}";
    out << "], \"overwritten\": [";
    for (size_t r = 0; r < o.overwritten.size(); ++r)
      out << (r ? ", " : "") << "{\"offset\": " << o.overwritten[r].offset
          << ", \"length\": " << o.overwritten[r].length << "}";
    out << "], \"sha256\": " << (written && !o.sha256.empty() ? json_string(o.sha256) : "null")
        << ", \"content\": " << json_string(content_to_text(e.content, static_cast<int64_t>(o.size)))
        << ", \"damaged_at\": "
        << (e.content.state == ContentState::kDamaged ? std::to_string(e.content.damaged_at)
                                                      : std::string("null"))
        << "}";
  }
  out << (entries.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace pyralis::cli
