// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/version_info.h"

#include "platform/version_resource.h"

namespace pyralis::ui {

namespace {
constexpr const char* kKeys[kVersionTypeCount] = {
    "CompanyName",    "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
    "LegalTradeMark", "OriginalFileName", "ProductName", "ProductVersion", "Comments"};
}  // namespace

TVersionInfoReader::TVersionInfoReader(QObject* owner)
    : TVersionInfoReader(owner, platform::running_executable_path()) {}

TVersionInfoReader::TVersionInfoReader(QObject* owner, std::string exe_path)
    : QObject(owner), exe_path_(std::move(exe_path)) {
  ReadVersionInfo();
}

const char* TVersionInfoReader::KeyOf(TVersionType type) {
  return kKeys[static_cast<int>(type)];
}

QString TVersionInfoReader::GetVersionString(TVersionType type) const {
  return values_[static_cast<size_t>(type)];
}

// The language and code page part of the query is fixed (U.S. English, Latin-1); the
// block's translation table is not consulted.
void TVersionInfoReader::ReadVersionInfo() {
  if (platform::GetFileVersionInfoSize(exe_path_) == 0) return;
  const std::vector<uint8_t> block = platform::GetFileVersionInfo(exe_path_);
  for (int i = 0; i < kVersionTypeCount; ++i) {
    auto value =
        platform::VerQueryValue(block, std::string("StringFileInfo\\040904E4\\") + kKeys[i]);
    if (value) {
      // Up to the terminating zero, should the stored text carry one.
      values_[static_cast<size_t>(i)] = QString::fromStdString(value->substr(0, value->find('\0')));
    }
  }
}

}  // namespace pyralis::ui
