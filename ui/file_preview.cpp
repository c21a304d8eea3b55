// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/file_preview.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QImageReader>
#include <QPixmap>
#include <QLocale>
#include <QStringDecoder>
#include <QVBoxLayout>
#include <string>
#include <vector>

#include "drivers/drivers.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "core/recovery_command.h"

namespace pyralis::ui {

namespace {

// Passes the window calls on, but keeps the log lines.
class KeptLines : public EngineWindow {
 public:
  explicit KeptLines(EngineWindow& outer) : outer_(outer) {}
  void ProcessMessages() override { outer_.ProcessMessages(); }
  void LogLine(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;

 private:
  EngineWindow& outer_;
};

// Restores the window and the recovery flag whatever happens.
class PreviewScope {
 public:
  explicit PreviewScope(KeptLines& lines) : outer_(Window()), was_active_(RecoveryActive.load()) {
    SetEngineWindow(&lines);
    RecoveryActive = true;
  }
  ~PreviewScope() {
    SetEngineWindow(&outer_);
    RecoveryActive = was_active_;
  }

 private:
  EngineWindow& outer_;
  bool was_active_;
};

bool text_extension(const QString& name) {
  static const QStringList kTextTypes = {
      QStringLiteral("txt"), QStringLiteral("log"),  QStringLiteral("ini"), QStringLiteral("csv"),
      QStringLiteral("htm"), QStringLiteral("html"), QStringLiteral("xml"), QStringLiteral("json"),
      QStringLiteral("md"),  QStringLiteral("c"),    QStringLiteral("h"),   QStringLiteral("cpp"),
      QStringLiteral("py"),  QStringLiteral("sh"),   QStringLiteral("bat"), QStringLiteral("cfg"),
      QStringLiteral("conf"), QStringLiteral("tex"), QStringLiteral("rtf"), QStringLiteral("svg")};
  return kTextTypes.contains(name.section(QLatin1Char('.'), -1).toLower());
}

QString size_text(qint64 bytes) {
  return QString::fromStdString(size_to_text(bytes, '.'));  // the list's units
}

}  // namespace

FilePreview preview_found_file(char letter, int row, uint64_t max_bytes) {
  FilePreview preview;
  if (row < 0 || row >= FoundFiles.Count()) {
    preview.problem = QStringLiteral("There is no such file in the list.");
    return preview;
  }
  std::vector<uint8_t> bytes;
  KeptLines lines(Window());
  RecoveryOutcome outcome;
  {
    // One command for both reads: the FAT engine loads its table once and the source is
    // opened once.
    const RecoveryCommand command;
    PreviewScope scope(lines);
    RecoveryTargetScope capture({0.0, &bytes, max_bytes});
    outcome = undelete_found_file(letter, row, std::string());
    preview.clusters = count_found_file_clusters(letter, row);
  }
  preview.bytes = QByteArray(reinterpret_cast<const char*>(bytes.data()),
                             static_cast<qsizetype>(bytes.size()));
  for (const std::string& line : lines.lines) {
    if (line.starts_with("Undeleted ")) {
      preview.whole = outcome.complete();
      if (!preview.whole && preview.problem.isEmpty()) preview.problem = QString::fromStdString(line);
    } else if (line.find("bytes are read") != std::string::npos) {
      preview.problem = QStringLiteral("Only the first %1 are shown.").arg(size_text(qint64(max_bytes)));
    } else if (preview.problem.isEmpty()) {
      preview.problem = QString::fromStdString(line);
    }
  }
  if (preview.bytes.isEmpty() && preview.problem.isEmpty())
    preview.problem = FoundFiles[row].Size == 0 ? QStringLiteral("The file is empty.")
                                                : QStringLiteral("Nothing of the file could be read.");
  return preview;
}

bool looks_like_text(const QString& name, const QByteArray& bytes) {
  const QByteArray head = bytes.left(4096);
  if (head.contains('\0')) return false;
  if (text_extension(name)) return true;
  int control = 0;
  for (const char c : head) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 && b != '\n' && b != '\r' && b != '\t' && b != '\f') ++control;
  }
  return !head.isEmpty() && control * 50 < head.size();
}

QString decode_text(const QByteArray& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  const QString text = utf8.decode(bytes);
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes);
}

QString hex_dump(const QByteArray& bytes, int limit) {
  const int size = static_cast<int>(std::min<qsizetype>(bytes.size(), limit));
  QString text;
  text.reserve(size / 16 * 80 + 80);
  for (int at = 0; at < size; at += 16) {
    QString hex, chars;
    for (int i = at; i < at + 16; ++i) {
      if (i < size) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        hex += QStringLiteral("%1 ").arg(b, 2, 16, QLatin1Char('0'));
        chars += b >= 0x20 && b < 0x7f ? QChar(b) : QLatin1Char('.');
      } else {
        hex += QStringLiteral("   ");
      }
      if (i == at + 7) hex += QLatin1Char(' ');
    }
    text += QStringLiteral("%1  %2 |%3|\n").arg(at, 8, 16, QLatin1Char('0')).arg(hex, chars);
  }
  return text;
}

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("PreviewPane"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  InfoLabel = new QLabel(this);
  InfoLabel->setWordWrap(true);
  InfoLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Pages = new QStackedWidget(this);
  PictureLabel = new QLabel(Pages);
  PictureLabel->setAlignment(Qt::AlignCenter);
  PictureLabel->setMinimumSize(1, 1);
  TextView = new QPlainTextEdit(Pages);
  TextView->setReadOnly(true);
  TextView->setLineWrapMode(QPlainTextEdit::NoWrap);
  Pages->addWidget(PictureLabel);
  Pages->addWidget(TextView);
  layout->addWidget(InfoLabel);
  layout->addWidget(Pages, 1);
  Clear();
}

void PreviewPane::Clear() {
  shown_ = Shown::kNothing;
  picture_ = QImage();
  InfoLabel->setText(QStringLiteral("Choose a file to look into it."));
  PictureLabel->clear();
  TextView->clear();
  Pages->setCurrentWidget(PictureLabel);
}

void PreviewPane::Show(int row, const FilePreview& preview) {
  Clear();
  if (row < 0 || row >= FoundFiles.Count()) return;
  const FoundFileRecord& record = FoundFiles[row];
  const QString name = QString::fromStdString(record.Name);
  QString info = QStringLiteral("<b>%1</b><br>%2<br>Estimate: %3 &middot; %4")
                     .arg(name.toHtmlEscaped(),
                          QString::fromStdString(record.Path).toHtmlEscaped(),
                          QString::fromStdString(quality_to_text(record.RecoveryQuality)),
                          QString::fromStdString(size_to_text(record.Size)));
  if (preview.clusters && preview.clusters->clusters > 0)
    info += QStringLiteral("<br>Clusters still free: %1 of %2")
                .arg(QLocale().toString(qulonglong(preview.clusters->free)),
                     QLocale().toString(qulonglong(preview.clusters->clusters)));
  if (!preview.problem.isEmpty()) info += QStringLiteral("<br><i>%1</i>").arg(preview.problem.toHtmlEscaped());
  InfoLabel->setText(info);
  if (preview.bytes.isEmpty()) {
    shown_ = Shown::kProblem;
    return;
  }
  QBuffer buffer;
  buffer.setData(preview.bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setAutoTransform(true);
  if (reader.canRead() && reader.read(&picture_) && !picture_.isNull()) {
    shown_ = Shown::kPicture;
    FitPicture();
    return;
  }
  picture_ = QImage();
  TextView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  if (looks_like_text(name, preview.bytes)) {
    shown_ = Shown::kText;
    TextView->setPlainText(decode_text(preview.bytes));
  } else {
    shown_ = Shown::kHex;
    TextView->setPlainText(hex_dump(preview.bytes));
  }
  Pages->setCurrentWidget(TextView);
}

void PreviewPane::FitPicture() {
  if (picture_.isNull()) return;
  const qreal ratio = devicePixelRatioF();
  const QSize room = PictureLabel->size() * ratio;
  QPixmap pixmap = QPixmap::fromImage(picture_);
  if (pixmap.width() > room.width() || pixmap.height() > room.height())
    pixmap = pixmap.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  pixmap.setDevicePixelRatio(ratio);
  PictureLabel->setPixmap(pixmap);
  Pages->setCurrentWidget(PictureLabel);
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FitPicture();
}

}  // namespace pyralis::ui
