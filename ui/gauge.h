// SPDX-License-Identifier: GPL-3.0-or-later
// TGauge: a drawn progress control. The scan dialog uses it as a horizontal bar with the
// percentage written over it by exclusive or, so the text stays readable on both the
// filled and the unfilled part.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace pyralis::ui {

enum class TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum class TGaugeBorderStyle { bsNone, bsSingle };

// Raised when MinValue / MaxValue would cross each other; the text names the allowed range,
// "Value must be between %d and %d".
class TGaugeRangeError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

class TGauge : public QWidget {
  Q_OBJECT

 public:
  explicit TGauge(QWidget* parent = nullptr);

  TGaugeKind Kind() const { return kind_; }
  bool ShowText() const { return show_text_; }
  TGaugeBorderStyle BorderStyle() const { return border_style_; }
  QColor ForeColor() const { return fore_color_; }
  QColor BackColor() const { return back_color_; }
  int32_t MinValue() const { return min_value_; }
  int32_t MaxValue() const { return max_value_; }
  int32_t Progress() const { return progress_; }
  // (Progress - MinValue) * 100 / (MaxValue - MinValue), truncated; 0 for an empty range.
  // Worked out in 64 bits, so large record counts do not overflow.
  int32_t PercentDone() const;

  void SetKind(TGaugeKind kind);
  void SetShowText(bool show);
  void SetBorderStyle(TGaugeBorderStyle style);
  void SetForeColor(QColor color);
  void SetBackColor(QColor color);
  // Throw TGaugeRangeError when the new bound would pass the other one.
  void SetMinValue(int32_t value);
  void SetMaxValue(int32_t value);
  // Clamped into MinValue..MaxValue; repaints only when PercentDone changes.
  void SetProgress(int32_t value);
  // While loading, the bounds are taken without the range check (as a form resource would).
  void SetLoading(bool loading) { loading_ = loading; }

  // The control's picture as it is painted (exposed for tests and grabs).
  QImage Render(qreal ratio = 1.0) const;
  // How many repaints the setters asked for.
  int RepaintRequests() const { return repaint_requests_; }

  QSize sizeHint() const override { return QSize(100, 100); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Repaint();
  // Stores a different value and repaints.
  template <typename T>
  void Store(T& field, T value);
  void DrawBar(QImage& image, int left, int top, int right, int bottom) const;
  void DrawText(QImage& image, int left, int top, int right, int bottom) const;

  TGaugeKind kind_ = TGaugeKind::gkHorizontalBar;
  bool show_text_ = true;
  TGaugeBorderStyle border_style_ = TGaugeBorderStyle::bsSingle;
  QColor fore_color_ = Qt::black;
  QColor back_color_ = Qt::white;
  int32_t min_value_ = 0;
  int32_t max_value_ = 100;
  int32_t progress_ = 0;
  bool loading_ = false;
  int repaint_requests_ = 0;
};

}  // namespace pyralis::ui
