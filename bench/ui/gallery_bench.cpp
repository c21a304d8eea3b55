// SPDX-License-Identifier: GPL-3.0-or-later
// pyralis_gallery_bench IMAGE: the gallery over the deleted photos of IMAGE (see
// make-photo-volume.sh). Scans it in the window (1280 × 900), turns View > Thumbnails on and
// prints how long the first thumbnail and the whole first screen take; then scrolls through
// the grid a wheel step per 60 Hz frame and prints the time to paint a frame, the longest
// the window's event loop was kept from answering, how many frames showed a placeholder, and
// how long a jump to the end takes to fill the screen. With --check the content check runs
// meanwhile, as it does after a scan; with --grouped it runs to its end first and the
// gallery is sorted by date taken, its tiles under a header per day.
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/found_files.h"
#include "platform/drive_table.h"
#include "ui/content_checker.h"
#include "ui/gallery_view.h"
#include "ui/main_form.h"
#include "ui/thumbnails.h"

using namespace pyralis;

namespace {

double ms(const QElapsedTimer& t) {
  return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: pyralis_gallery_bench IMAGE [--check | --grouped]\n");
    return 2;
  }
  const bool check = argc > 2 && std::strcmp(argv[2], "--check") == 0;
  const bool grouped = argc > 2 && std::strcmp(argv[2], "--grouped") == 0;
  platform::attach_sources({argv[1]});
  ui::TProgramWindows windows = ui::create_program_windows();
  ui::TMainForm& form = *windows.MainForm;
  form.resize(1280, 900);
  form.show();
  QApplication::processEvents();

  QElapsedTimer clock;
  clock.start();
  form.Scan1Click();
  std::printf("scan: %d rows in %.0f ms\n", FoundFiles.Count(), ms(clock));
  if (grouped) {
    clock.start();
    while (form.Checker->Running()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::printf("content check: %.1f s\n", ms(clock) / 1000);
    form.GroupByDate1->setChecked(true);
    form.SortByDateTaken1->trigger();
    std::printf("grouped: %zu days\n", form.Gallery->Groups().size());
  } else if (!check) {
    form.Checker->Stop();
  }

  ui::GalleryView& gallery = *form.Gallery;
  ui::ThumbnailLoader& loader = *form.Thumbnails;
  auto placeholders = [&] {
    int missing = 0;
    for (int record : gallery.VisibleRecords()) {
      const RowId id = FoundFiles.Id(record);
      if (loader.Image(id) == nullptr && !loader.HasNone(id)) ++missing;
    }
    return missing;
  };
  // The event loop's answer time: a timer that should tick every millisecond.
  QElapsedTimer since_tick;
  double longest_gap = 0;
  QTimer ticker;
  ticker.setInterval(1);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    if (since_tick.isValid()) longest_gap = std::max(longest_gap, ms(since_tick));
    since_tick.start();
  });

  clock.start();
  form.Thumbnails1->setChecked(true);
  double first = -1;
  while (clock.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 2);
    const int tiles = static_cast<int>(gallery.VisibleRecords().size());
    const int missing = placeholders();
    if (first < 0 && missing < tiles && tiles > 0) first = ms(clock);
    if (tiles > 0 && missing == 0) break;
  }
  std::printf("first screen: %d tiles; first thumbnail after %.0f ms, all after %.0f ms\n",
              static_cast<int>(gallery.VisibleRecords().size()), first, ms(clock));

  // Scrolling: one wheel step (a third of a tile row) per frame of 16 ms.
  QScrollBar& bar = *gallery.verticalScrollBar();
  const int step = gallery.TileSize().height() / 3;
  std::vector<double> paints;
  int frames = 0, frames_with_placeholders = 0;
  ticker.start();
  clock.start();
  for (int value = 0; value < bar.maximum() && frames < 900; value += step, ++frames) {
    bar.setValue(value);
    QElapsedTimer paint;
    paint.start();
    gallery.viewport()->repaint();
    paints.push_back(ms(paint));
    if (placeholders() > 0) ++frames_with_placeholders;
    QElapsedTimer frame;
    frame.start();
    while (frame.elapsed() < 16) QApplication::processEvents(QEventLoop::AllEvents, 16);
  }
  ticker.stop();
  std::printf(
      "scrolling: %d frames (%d rows of tiles) in %.1f s; paint median %.2f ms, max %.2f ms; "
      "event loop answered within %.0f ms; %d frames showed placeholders\n",
      frames, frames / 3, ms(clock) / 1000, median(paints),
      paints.empty() ? 0 : *std::max_element(paints.begin(), paints.end()), longest_gap,
      frames_with_placeholders);

  clock.start();
  bar.setValue(bar.maximum());
  while (clock.elapsed() < 10000 && placeholders() > 0)
    QApplication::processEvents(QEventLoop::AllEvents, 2);
  std::printf("jump to the end: screen filled after %.0f ms\n", ms(clock));
  return 0;
}
