// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/found_files_filter.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QWidgetAction>
#include <algorithm>
#include <cctype>
#include <string_view>

#include "core/found_files.h"
#include "ui/found_files_model.h"

namespace pyralis::ui {

namespace {

constexpr std::string_view kKindExtensions[kFileKinds - 1] = {
    " jpg jpeg jpe png gif bmp tif tiff webp ico heic heif raw cr2 nef arw dng orf psd svg tga"
    " pcx ",
    " txt doc docx xls xlsx ppt pptx pdf rtf odt ods odp csv htm html xml md tex wpd wps mdb"
    " accdb pub eml msg log ini json ",
    " mp3 wav wma ogg oga flac aac m4a mid midi aif aiff ape opus amr ra au ",
    " avi mpg mpeg mp4 m4v mov wmv mkv webm flv 3gp vob ts mts m2ts asf ogv rm rmvb ",
    " zip rar 7z gz tgz bz2 xz tar cab arj lzh lha iso z zst ",
};
constexpr const char* kKindCaptions[kFileKinds] = {"Pictures", "Documents", "Audio",
                                                   "Video",    "Archives",  "Other"};

bool is_ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether `needle` (lower-case ASCII) stands in `text`, ASCII letters of any case.
bool contains_ascii_no_case(std::string_view text, std::string_view needle) {
  if (needle.size() > text.size()) return false;
  const char first = needle[0];
  const char first_upper = static_cast<char>(std::toupper(static_cast<unsigned char>(first)));
  for (size_t at = 0; at + needle.size() <= text.size(); ++at) {
    if (text[at] != first && text[at] != first_upper) continue;
    size_t i = 1;
    while (i < needle.size() &&
           std::tolower(static_cast<unsigned char>(text[at + i])) == needle[i])
      ++i;
    if (i == needle.size()) return true;
  }
  return false;
}

// Whether `text` as a whole matches the lower-case ASCII `pattern`: "*" any run, "?" one
// character (a whole UTF-8 sequence), ASCII letters of any case. The last "*" is retried
// on a mismatch, which is enough for a glob: no deeper backtracking is ever needed.
bool glob_ascii_no_case(std::string_view text, std::string_view pattern) {
  size_t t = 0, p = 0, star = std::string_view::npos, resume = 0;
  auto next_char = [&text](size_t at) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    return at;
  };
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' ||
                std::tolower(static_cast<unsigned char>(text[t])) == pattern[p])) {
      t = pattern[p] == '?' ? next_char(t) : t + 1;
      ++p;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = resume = next_char(resume);
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The glob against each "\"-separated folder of `path`.
bool any_folder_matches(std::string_view path, std::string_view pattern) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start && glob_ascii_no_case(path.substr(start, end - start), pattern)) return true;
    start = end + 1;
  }
  return false;
}

// "*" any run, "?" one character, everything else literal.
QString wildcard_pattern(const QString& text) {
  QString pattern;
  for (const QChar c : text) {
    if (c == QLatin1Char('*'))
      pattern += QStringLiteral(".*");
    else if (c == QLatin1Char('?'))
      pattern += QLatin1Char('.');
    else
      pattern += QRegularExpression::escape(QString(c));
  }
  return pattern;
}

}  // namespace

FileKind kind_of_name(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size() || name.size() - dot > 8)
    return FileKind::kOther;
  // " ext " in lower case, on the stack: this runs for every row while the user types.
  char buffer[12];
  size_t n = 0;
  buffer[n++] = ' ';
  for (size_t i = dot + 1; i < name.size(); ++i)
    buffer[n++] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
  buffer[n++] = ' ';
  const std::string_view key(buffer, n);
  for (int k = 0; k < kFileKinds - 1; ++k)
    if (kKindExtensions[k].find(key) != std::string_view::npos) return static_cast<FileKind>(k);
  return FileKind::kOther;
}

QString kind_caption(FileKind kind) {
  return QString::fromLatin1(kKindCaptions[static_cast<int>(kind)]);
}

bool FileFilter::Active() const {
  return !text.isEmpty() || std::any_of(kinds.begin(), kinds.end(), [](bool k) { return k; }) ||
         hide_unrecoverable || intact_only || min_size > 0 || max_size > 0 || !folder.isEmpty();
}

FoundFilesFilter::FoundFilesFilter(QObject* parent) : QSortFilterProxyModel(parent) {
  // Rows keep the catalogue's order (the column sort re-orders the catalogue itself).
  setDynamicSortFilter(false);
}

void FoundFilesFilter::SetFilter(const FileFilter& filter) {
  filter_ = filter;
  const QString text = filter.text.trimmed();
  plain_.clear();
  pattern_ = QRegularExpression();
  if (text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'))) {
    pattern_ = QRegularExpression(QStringLiteral("^(?:%1)$").arg(wildcard_pattern(text)),
                                  QRegularExpression::CaseInsensitiveOption |
                                      QRegularExpression::DotMatchesEverythingOption);
    pattern_.optimize();
  } else {
    plain_ = text.toLower();
  }
  folder_ = filter.folder.toStdString();
  const std::string lower = text.toLower().toStdString();
  ascii_ = is_ascii(lower) ? lower : std::string();
  invalidateFilter();
}

bool FoundFilesFilter::Accepts(const FoundFileRecord& record) const {
  // 0 is "Overwritten", 1 to 33 "Bad".
  if (filter_.hide_unrecoverable && record.RecoveryQuality >= 0 && record.RecoveryQuality <= 33)
    return false;
  if (filter_.min_size > 0 && record.Size < filter_.min_size) return false;
  if (filter_.max_size > 0 && record.Size > filter_.max_size) return false;
  if (!folder_.empty()) {
    const std::string& path = record.Path;
    if (!(path == folder_ || (path.size() > folder_.size() && path.starts_with(folder_) &&
                              path[folder_.size()] == '\\')))
      return false;
  }
  if (std::any_of(filter_.kinds.begin(), filter_.kinds.end(), [](bool k) { return k; }) &&
      !filter_.kinds[static_cast<size_t>(kind_of_name(record.Name))])
    return false;
  if (!plain_.isEmpty()) {
    if (!ascii_.empty())
      return contains_ascii_no_case(record.Name, ascii_) ||
             contains_ascii_no_case(record.Path, ascii_);
    return QString::fromStdString(record.Name).contains(plain_, Qt::CaseInsensitive) ||
           QString::fromStdString(record.Path).contains(plain_, Qt::CaseInsensitive);
  }
  if (!ascii_.empty())
    return glob_ascii_no_case(record.Name, ascii_) || any_folder_matches(record.Path, ascii_);
  if (pattern_.isValid() && !pattern_.pattern().isEmpty()) {
    // The name whole, or any folder of the path whole.
    if (pattern_.match(QString::fromStdString(record.Name)).hasMatch()) return true;
    const QStringList folders =
        QString::fromStdString(record.Path).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    return std::any_of(folders.begin(), folders.end(), [this](const QString& folder) {
      return pattern_.match(folder).hasMatch();
    });
  }
  return true;
}

bool FoundFilesFilter::filterAcceptsRow(int source_row, const QModelIndex& source_parent) const {
  if (source_parent.isValid() || source_row < 0 || source_row >= FoundFiles.Count()) return false;
  if (filter_.intact_only && FoundFiles.Facts(source_row).content.state != ContentState::kIntact)
    return false;
  return Accepts(FoundFiles[source_row]);
}

QVariant FoundFilesFilter::data(const QModelIndex& index, int role) const {
  if (role == Qt::ToolTipRole) {
    const int row = RecordRow(index);
    if (row < 0 || row >= FoundFiles.Count()) return {};
    return QStringLiteral("%1\n%2\n\n%3")
        .arg(QString::fromStdString(FoundFiles[row].Name),
             QString::fromStdString(FoundFiles[row].Path), row_mark_legend());
  }
  if (role != Qt::BackgroundRole && role != Qt::ForegroundRole)
    return QSortFilterProxyModel::data(index, role);
  if (!index.isValid() || index.row() % 2 == 0) return {};
  const QPalette palette = QGuiApplication::palette();
  const bool dark = palette.color(QPalette::Base).lightness() < 128;
  if (role == Qt::BackgroundRole)
    return dark ? palette.color(QPalette::AlternateBase) : FoundFilesModel::OddRowColour();
  return dark ? palette.color(QPalette::Text) : QColor(Qt::black);
}

int FoundFilesFilter::RecordRow(const QModelIndex& index) const {
  const QModelIndex source = mapToSource(index);
  return source.isValid() ? source.row() : -1;
}

FilterBar::FilterBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FilterBar"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 2, 4, 2);
  layout->setSpacing(4);
  FindEdit = new QLineEdit(this);
  FindEdit->setObjectName(QStringLiteral("FindEdit"));
  FindEdit->setPlaceholderText(QStringLiteral("Find: name or folder, * and ? allowed"));
  FindEdit->setClearButtonEnabled(true);
  // A fixed width: the type button's caption changes with the choice, and the field must not
  // move or shrink with it.
  FindEdit->setFixedWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 22);
  layout->addWidget(FindEdit);
  KindButton = new QToolButton(this);
  KindButton->setObjectName(QStringLiteral("KindButton"));
  KindButton->setText(QStringLiteral("All types"));
  KindButton->setPopupMode(QToolButton::InstantPopup);
  KindButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
  auto* kinds = new QMenu(KindButton);
  for (int k = 0; k < kFileKinds; ++k) {
    QAction* action = kinds->addAction(kind_caption(static_cast<FileKind>(k)));
    action->setCheckable(true);
    KindActions[static_cast<size_t>(k)] = action;
    connect(action, &QAction::toggled, this, [this] {
      QStringList chosen;
      for (QAction* a : KindActions)
        if (a->isChecked()) chosen << a->text();
      // Up to two names; more would widen the bar.
      KindButton->setText(chosen.isEmpty()     ? QStringLiteral("All types")
                          : chosen.size() <= 2 ? chosen.join(QStringLiteral(", "))
                                               : QStringLiteral("%1 types").arg(chosen.size()));
      emit Changed(Current());
    });
  }
  KindButton->setMenu(kinds);
  layout->addWidget(KindButton);
  HideBadCheck = new QCheckBox(QStringLiteral("Hide Overwritten and Bad"), this);
  layout->addWidget(HideBadCheck);
  IntactOnlyCheck = new QCheckBox(QStringLiteral("Intact only"), this);
  IntactOnlyCheck->setToolTip(
      QStringLiteral("Only files whose content was checked and found whole"));
  layout->addWidget(IntactOnlyCheck);
  // The size bounds sit in a drop-down, so that the bar fits beside the drive tree.
  SizeButton = new QToolButton(this);
  SizeButton->setObjectName(QStringLiteral("SizeButton"));
  SizeButton->setPopupMode(QToolButton::InstantPopup);
  SizeButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
  auto* size_menu = new QMenu(SizeButton);
  auto* size_row = new QWidget(size_menu);
  auto* size_layout = new QHBoxLayout(size_row);
  size_layout->setContentsMargins(6, 4, 6, 4);
  size_layout->addWidget(new QLabel(QStringLiteral("Size, Kb:"), size_row));
  auto spin = [this, size_row, size_layout](const QString& none) {
    auto* box = new QSpinBox(size_row);
    box->setRange(0, 2000000000);
    box->setSpecialValueText(none);
    box->setAccelerated(true);
    box->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 30);
    size_layout->addWidget(box);
    connect(box, &QSpinBox::valueChanged, this, [this] {
      UpdateSizeCaption();
      emit Changed(Current());
    });
    // An emptied box means no bound ("any"), not the value it had before.
    connect(box->findChild<QLineEdit*>(), &QLineEdit::textEdited, box, [box](const QString& text) {
      if (text.trimmed().isEmpty()) box->setValue(0);
    });
    return box;
  };
  MinSizeSpin = spin(QStringLiteral("any"));
  size_layout->addWidget(new QLabel(QStringLiteral("to"), size_row));
  MaxSizeSpin = spin(QStringLiteral("any"));
  auto* size_action = new QWidgetAction(size_menu);
  size_action->setDefaultWidget(size_row);
  size_menu->addAction(size_action);
  SizeButton->setMenu(size_menu);
  UpdateSizeCaption();
  layout->addWidget(SizeButton);
  layout->addStretch();
  connect(FindEdit, &QLineEdit::textChanged, this, [this] { emit Changed(Current()); });
  connect(HideBadCheck, &QCheckBox::toggled, this, [this] { emit Changed(Current()); });
  connect(IntactOnlyCheck, &QCheckBox::toggled, this, [this] { emit Changed(Current()); });
}

FileFilter FilterBar::Current() const {
  FileFilter filter;
  filter.text = FindEdit->text();
  for (int k = 0; k < kFileKinds; ++k)
    filter.kinds[static_cast<size_t>(k)] = KindActions[static_cast<size_t>(k)]->isChecked();
  filter.hide_unrecoverable = HideBadCheck->isChecked();
  filter.intact_only = IntactOnlyCheck->isChecked();
  filter.min_size = int64_t{MinSizeSpin->value()} * 1024;
  filter.max_size = int64_t{MaxSizeSpin->value()} * 1024;
  filter.folder = folder_;
  return filter;
}

void FilterBar::UpdateSizeCaption() {
  const int low = MinSizeSpin->value(), high = MaxSizeSpin->value();
  QString caption = QStringLiteral("Size: any");
  if (low > 0 && high > 0)
    caption = QStringLiteral("Size: %1 to %2 Kb").arg(low).arg(high);
  else if (low > 0)
    caption = QStringLiteral("Size: from %1 Kb").arg(low);
  else if (high > 0)
    caption = QStringLiteral("Size: up to %1 Kb").arg(high);
  SizeButton->setText(caption);
}

void FilterBar::SetFolder(const QString& folder) {
  folder_ = folder;
  emit Changed(Current());
}

}  // namespace pyralis::ui
