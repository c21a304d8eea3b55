// SPDX-License-Identifier: GPL-3.0-or-later
// Finding files in the list: a proxy over the found-files model that shows only the rows
// whose record passes the filter, and the bar above the list that sets it.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QToolButton>
#include <QWidget>
#include <array>
#include <cstdint>
#include <string>

namespace pyralis {
struct FoundFileRecord;
}

namespace pyralis::ui {

// The type buttons, each a set of extensions; Other is every extension none of them has.
enum class FileKind { kPictures, kDocuments, kAudio, kVideo, kArchives, kOther };
inline constexpr int kFileKinds = 6;
FileKind kind_of_name(const std::string& name);
QString kind_caption(FileKind kind);

struct FileFilter {
  // Matched against the name and against the folder, case-insensitive; "*" stands for any
  // run of characters and "?" for one. Without a wildcard the text may stand anywhere.
  QString text;
  // No kind chosen shows every kind.
  std::array<bool, kFileKinds> kinds{};
  bool hide_unrecoverable = false;  // "Overwritten" and "Bad"
  bool intact_only = false;         // only files whose content check said "Intact"
  int64_t min_size = 0;             // bytes; 0 = no bound
  int64_t max_size = 0;             // bytes; 0 = no bound
  // Only files in this folder or below it (the folder tree's choice); empty = every folder.
  QString folder;

  bool Active() const;
};

class FoundFilesFilter : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit FoundFilesFilter(QObject* parent = nullptr);

  void SetFilter(const FileFilter& filter);
  const FileFilter& Filter() const { return filter_; }
  bool Accepts(const FoundFileRecord& record) const;
  // The record (catalogue row) behind a row of the view, -1 for none.
  int RecordRow(const QModelIndex& index) const;
  // Odd rows of the view (not of the catalogue) get the odd-row colour, with a text colour
  // that can be read on it; under a dark palette the palette's own alternate base. The
  // tool tip is the full name and folder.
  QVariant data(const QModelIndex& index, int role) const override;

 protected:
  bool filterAcceptsRow(int source_row, const QModelIndex& source_parent) const override;

 private:
  FileFilter filter_;
  QRegularExpression pattern_;
  QString plain_;  // the text when it holds no wildcard
  std::string folder_;
  // The text in lower case when it is all ASCII (matched on the UTF-8 bytes), else empty.
  std::string ascii_;
};

class FilterBar : public QWidget {
  Q_OBJECT

 public:
  explicit FilterBar(QWidget* parent = nullptr);

  FileFilter Current() const;
  // Sets the folder part of the filter (the other parts stay).
  void SetFolder(const QString& folder);

  QLineEdit* FindEdit;
  // The type choice: a drop-down of checkable types; its caption names those chosen.
  QToolButton* KindButton;
  std::array<QAction*, kFileKinds> KindActions{};
  QCheckBox* HideBadCheck;
  QCheckBox* IntactOnlyCheck;
  // The size bounds, in a drop-down whose caption says them ("Size: any").
  QToolButton* SizeButton;
  QSpinBox* MinSizeSpin;  // KiB
  QSpinBox* MaxSizeSpin;  // KiB, 0 = no bound

 signals:
  void Changed(const pyralis::ui::FileFilter& filter);

 private:
  void UpdateSizeCaption();

  QString folder_;
};

}  // namespace pyralis::ui
