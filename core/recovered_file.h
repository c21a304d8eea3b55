// Writing a recovered file into the destination folder, safely:
//  - the name from the volume becomes one safe path component (no "/", NUL, "." or "..",
//    at most 255 bytes, never empty), so nothing is written outside the folder;
//  - the content goes to a temporary file in the folder and is moved into place only when
//    complete (Discard, or destruction without Commit, leaves nothing behind);
//  - an existing file is never replaced: when `name` is taken the file becomes
//    "name (2).ext", "name (3).ext", ...
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pyralis {

// One path component made of `name`: "/" and NUL become "_", "", "." and ".." become "_",
// cut to 255 bytes on a character boundary (keeping the extension where it can).
std::string safe_file_name(std::string_view name);

class RecoveredFile {
 public:
  RecoveredFile() = default;
  ~RecoveredFile();  // discards an uncommitted temporary file
  RecoveredFile(const RecoveredFile&) = delete;
  RecoveredFile& operator=(const RecoveredFile&) = delete;

  // `folder` ends with "/" (it is used as given: folder + name). Creates the temporary file.
  // On failure returns false and puts the system's reason into *error.
  bool Open(const std::string& folder, std::string_view name, std::string* error);
  bool Write(const void* data, size_t size, std::string* error);
  // Writes `size` zero bytes (holes).
  bool WriteZeros(uint64_t size, std::string* error);
  // Flushes, closes and moves the file into place under the first free name. *written_name
  // receives the name actually used (without the folder).
  bool Commit(std::string* written_name, std::string* error);
  // Removes the temporary file.
  void Discard();
  uint64_t BytesWritten() const { return written_; }

 private:
  int fd_ = -1;
  std::string folder_;
  std::string name_;
  std::string temp_path_;
  uint64_t written_ = 0;
  bool ends_in_hole_ = false;  // the last bytes were a hole (WriteZeros)
};

}  // namespace pyralis
