// SPDX-License-Identifier: GPL-3.0-or-later
// TVersionInfoReader: the version strings of the program's own executable, read once when
// the reader is made.
#pragma once

#include <QObject>
#include <array>
#include <string>

namespace pyralis::ui {

enum class TVersionType {
  vtCompanyName,
  vtFileDescription,
  vtFileVersion,
  vtInternalName,
  vtLegalCopyright,
  vtLegalTradeMark,
  vtOriginalFileName,
  vtProductName,
  vtProductVersion,
  vtComments,
};
inline constexpr int kVersionTypeCount = 10;

class TVersionInfoReader : public QObject {
  Q_OBJECT

 public:
  // Reads the block of the running executable.
  explicit TVersionInfoReader(QObject* owner);
  // Reads the block of `exe_path` (tests, other programs).
  TVersionInfoReader(QObject* owner, std::string exe_path);

  virtual QString GetVersionString(TVersionType type) const;

  QString CompanyName() const { return GetVersionString(TVersionType::vtCompanyName); }
  QString FileDescription() const { return GetVersionString(TVersionType::vtFileDescription); }
  QString FileVersion() const { return GetVersionString(TVersionType::vtFileVersion); }
  QString InternalName() const { return GetVersionString(TVersionType::vtInternalName); }
  QString LegalCopyright() const { return GetVersionString(TVersionType::vtLegalCopyright); }
  QString LegalTradeMark() const { return GetVersionString(TVersionType::vtLegalTradeMark); }
  QString OriginalFileName() const { return GetVersionString(TVersionType::vtOriginalFileName); }
  QString ProductName() const { return GetVersionString(TVersionType::vtProductName); }
  QString ProductVersion() const { return GetVersionString(TVersionType::vtProductVersion); }
  QString Comments() const { return GetVersionString(TVersionType::vtComments); }

  // The key that `type` is read under: its name without the "vt" prefix, spelt exactly so
  // ("LegalTradeMark", "OriginalFileName").
  static const char* KeyOf(TVersionType type);

 protected:
  virtual void ReadVersionInfo();

 private:
  std::string exe_path_;
  std::array<QString, kVersionTypeCount> values_;
};

}  // namespace pyralis::ui
