// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivers/content_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pyralis {

namespace {

constexpr uint64_t kMaxCheckedInMemory = uint64_t{1} << 30;

// A file on disk, read with pread.
class FileSource final : public filetypes::ByteSource {
 public:
  explicit FileSource(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ >= 0) {
      const off_t end = ::lseek(fd_, 0, SEEK_END);
      size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
  }
  ~FileSource() override {
    if (fd_ >= 0) ::close(fd_);
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  bool ok() const { return fd_ >= 0; }
  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    size_t done = 0;
    while (done < count && offset + done < size_) {
      const ssize_t n = ::pread(fd_, static_cast<char*>(dest) + done, count - done,
                                static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

std::string_view extension_of(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

}  // namespace

ContentVerdict judge_content(filetypes::ByteSource& source, std::string_view name,
                             const std::vector<FileByteRange>& unread, filetypes::Depth depth) {
  // JPEG scans are decoded too: foreign bytes that hold no marker break the decoding only.
  const filetypes::Result result = filetypes::check(source, extension_of(name), depth);
  return judge_walked(result, name, source.Size(), unread);
}

bool decoding_may_tell_more(const ContentVerdict& verdict) {
  return verdict.state == ContentState::kPlausible &&
         verdict.type == filetypes::kind_name(filetypes::Kind::kJpeg);
}

ContentVerdict judge_walked(const filetypes::Result& result, std::string_view name, uint64_t size,
                            const std::vector<FileByteRange>& unread) {
  ContentVerdict verdict;
  verdict.type = std::string(filetypes::kind_name(result.kind));
  verdict.date_taken = result.date_taken;
  if (result.state == filetypes::State::kDamaged) {
    verdict.state = ContentState::kDamaged;
    verdict.damaged_at = result.damaged_at;
    if (!unread.empty()) verdict.damaged_at = std::min(verdict.damaged_at, unread.front().offset);
  } else if (result.state == filetypes::State::kIntact && unread.empty()) {
    // Intact needs the payload checked, over the whole file (bytes after the structure's end
    // are not checked), and the type the name promises: another type's whole file in its
    // place is what an overwrite leaves.
    const filetypes::Kind promised = filetypes::kind_of_extension(extension_of(name));
    const bool as_named = promised == filetypes::Kind::kUnknown || promised == result.kind;
    const bool covered = result.implied_length == size;
    verdict.state = result.payload_verified && as_named && covered ? ContentState::kIntact
                                                                   : ContentState::kPlausible;
  }
  return verdict;
}

ContentVerdict check_written_file(std::string_view name, const RecoveryOutcome& outcome) {
  if (outcome.written_path.empty()) return {};
  FileSource source(outcome.written_path);
  if (!source.ok()) return {};
  return judge_content(source, name, outcome.unreadable);
}

uint64_t content_check_memory_limit() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return kMaxCheckedInMemory / 4;
  return std::min(kMaxCheckedInMemory, static_cast<uint64_t>(pages) *
                                           static_cast<uint64_t>(page_size) / 4);
}

}  // namespace pyralis
