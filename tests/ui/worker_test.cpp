// SPDX-License-Identifier: GPL-3.0-or-later
// The window's worker threads: the content check's verdicts land on their own rows however
// the list is sorted meanwhile, Stop ends it with no verdict after it, and a new start drops
// the old run; the engines' adapter shows what a worker reports, in order. Small enough to
// build with ThreadSanitizer on its own (scripts/tsan-ui-workers.sh).
#include <QBuffer>
#include <QImage>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include <QLabel>
#include <QPlainTextEdit>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "ui/content_checker.h"
#include "ui/qt_engine_window.h"
#include "ui/search_form.h"
#include "ui/thumbnails.h"

using namespace pyralis;

namespace {

void fill_catalogue(int rows) {
  FoundFiles.clear();
  for (int i = 0; i < rows; ++i) {
    FoundFileRecord record;
    record.Name = "file" + std::to_string(i) + ".jpg";
    record.Size = 1000 + i;
    FoundFiles.append(record);
  }
}

// The verdict a row must end up with: its own size as the damaged byte, so that a verdict
// that lands on another row shows.
ContentVerdict verdict_for(const FoundFileRecord& record) {
  ContentVerdict verdict;
  verdict.state = ContentState::kDamaged;
  verdict.damaged_at = static_cast<uint64_t>(record.Size);
  verdict.type = record.Name;
  return verdict;
}

// A small JPEG whose EXIF block says it was taken on `day` January 2020.
QByteArray dated_jpeg(int day) {
  QImage picture(32, 24, QImage::Format_RGB32);
  picture.fill(Qt::darkGreen);
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  picture.save(&buffer, "JPEG");
  // Little-endian TIFF: IFD0 points to the EXIF directory, which holds DateTimeOriginal.
  QByteArray tiff("II*\0\x08\0\0\0", 8);
  auto u16 = [&](uint32_t v) {
    tiff.append(static_cast<char>(v & 0xFF));
    tiff.append(static_cast<char>((v >> 8) & 0xFF));
  };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  for (uint32_t v : {1u, 0x8769u, 4u}) u16(v);
  for (uint32_t v : {1u, 26u, 0u}) u32(v);
  for (uint32_t v : {1u, 0x9003u, 2u}) u16(v);
  for (uint32_t v : {20u, 44u, 0u}) u32(v);
  tiff.append(QStringLiteral("2020:01:%1 08:00:00").arg(day, 2, 10, QLatin1Char('0')).toLatin1());
  tiff.append('\0');
  const QByteArray body = QByteArray("Exif\0\0", 6) + tiff;
  QByteArray app1("\xFF\xE1", 2);
  app1.append(static_cast<char>((body.size() + 2) >> 8));
  app1.append(static_cast<char>((body.size() + 2) & 0xFF));
  return jpeg.left(2) + app1 + body + jpeg.mid(2);
}

}  // namespace

class WorkerTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { reset_process_state(); }

  // The list is shuffled again and again while the worker reads: every verdict lands on the
  // row it was made for, visible rows first.
  void verdictsFollowTheirRowsThroughSorts() {
    constexpr int kRows = 400;
    fill_catalogue(kRows);
    ui::ContentChecker checker;
    std::atomic<int> calls{0};
    checker.Check = [&](char letter, const FoundFileRecord& record, const RowFacts&,
                        const std::atomic<bool>&, filetypes::Depth) {
      ++calls;
      QThread::usleep(letter == 'c' ? 50 : 0);
      return verdict_for(record);
    };
    // The last rows are on screen: they are checked before the others.
    checker.PreferredRows = [&] { return std::vector<int>{kRows - 1, kRows - 2}; };
    std::vector<RowId> order;
    connect(&checker, &ui::ContentChecker::RowChecked, [&](RowId id) { order.push_back(id); });
    const std::vector<RowId> on_screen = {FoundFiles.Id(kRows - 1), FoundFiles.Id(kRows - 2)};
    checker.Start('c');
    std::mt19937 random(7);
    while (checker.Running()) {
      for (int i = 0; i < 50; ++i)
        FoundFiles.SwapRows(static_cast<int>(random() % kRows), static_cast<int>(random() % kRows));
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QCOMPARE(calls.load(), kRows);
    QCOMPARE(order.size(), size_t{kRows});
    // Two workers take the two rows on screen at once: either may be done first.
    QVERIFY(std::find(on_screen.begin(), on_screen.end(), order[0]) != on_screen.end());
    for (int row = 0; row < kRows; ++row) {
      const ContentVerdict& got = FoundFiles.Facts(row).content;
      QCOMPARE(got.type, FoundFiles[row].Name);
      QCOMPARE(got.damaged_at, static_cast<uint64_t>(FoundFiles[row].Size));
    }
  }

  // Off screen every row is walked before any is decoded, and only the JPEGs the walk found
  // whole are decoded; a row on screen is checked whole at once. The status follows: the
  // verdict count first, then the decoding's.
  void everyRowIsWalkedBeforeAnyIsDecoded() {
    constexpr int kRows = 300;
    fill_catalogue(kRows);
    ui::ContentChecker checker;
    std::mutex lock;
    std::vector<std::pair<std::string, filetypes::Depth>> calls;
    checker.Check = [&](char, const FoundFileRecord& record, const RowFacts&,
                        const std::atomic<bool>&, filetypes::Depth depth) {
      {
        const std::lock_guard hold(lock);
        calls.emplace_back(record.Name, depth);
      }
      const bool picture = (record.Size - 1000) % 2 == 0;
      ContentVerdict verdict = verdict_for(record);
      if (depth == filetypes::Depth::kDecode && picture) {
        verdict.state = ContentState::kIntact;
      } else if (picture) {
        verdict.state = ContentState::kPlausible;  // a whole JPEG, not decoded
        verdict.type = "JPEG";
      }
      return verdict;
    };
    checker.PreferredRows = [&] { return std::vector<int>{4}; };
    checker.DecodeLater = [](const ContentVerdict& verdict) {
      return verdict.state == ContentState::kPlausible && verdict.type == "JPEG";
    };
    QList<QPair<int, int>> decoding;
    connect(&checker, &ui::ContentChecker::DecodeProgress,
            [&](int done, int total) { decoding << qMakePair(done, total); });
    checker.Start('c');
    QTRY_VERIFY_WITH_TIMEOUT(!checker.Running(), 20000);

    const auto first_decode = std::find_if(calls.begin(), calls.end(), [](const auto& c) {
      return c.second == filetypes::Depth::kDecode && c.first != "file4.jpg";
    });
    // Decoding begins once every walk is handed out; the last ones may still run beside it.
    QVERIFY(std::count_if(calls.begin(), first_decode, [](const auto& c) {
              return c.second == filetypes::Depth::kStructure;
            }) >= kRows - 1 - ui::ContentChecker::kAhead);
    const auto on_screen = std::find_if(calls.begin(), calls.end(),
                                        [](const auto& c) { return c.first == "file4.jpg"; });
    QCOMPARE(on_screen->second, filetypes::Depth::kDecode);
    QCOMPARE(calls.size(), size_t{kRows + kRows / 2 - 1});
    for (int row = 0; row < kRows; ++row) {
      const bool picture = (FoundFiles[row].Size - 1000) % 2 == 0;
      QCOMPARE(FoundFiles.Facts(row).content.state,
               picture ? ContentState::kIntact : ContentState::kDamaged);
    }
    QVERIFY(!decoding.isEmpty());
    QCOMPARE(decoding.last(), qMakePair(kRows / 2 - 1, kRows / 2 - 1));
  }

  // Stop in the middle of a file: the read is told to end, Finished comes at once, and the
  // verdict of the file being read never lands.
  void stopEndsTheReadAndDropsItsVerdict() {
    fill_catalogue(5);
    ui::ContentChecker checker;
    std::atomic<bool> reading{false}, told_to_stop{false};
    checker.Check = [&](char, const FoundFileRecord& record, const RowFacts&,
                        const std::atomic<bool>& go_on, filetypes::Depth) {
      reading = true;
      while (go_on) QThread::msleep(1);
      told_to_stop = true;
      return verdict_for(record);
    };
    int finished = 0;
    connect(&checker, &ui::ContentChecker::Finished, [&] { ++finished; });
    checker.Start('c');
    QTRY_VERIFY(reading.load());
    checker.Stop();
    QVERIFY(!checker.Running());
    QCOMPARE(finished, 1);
    QTRY_VERIFY(told_to_stop.load());
    QTest::qWait(50);
    for (int row = 0; row < 5; ++row)
      QCOMPARE(FoundFiles.Facts(row).content.state, ContentState::kUnchecked);
  }

  // A new catalogue (a new scan) while the worker still reads the old one: nothing of the
  // old run lands in the new rows; a pause holds new rows back until it ends.
  void newRunDropsTheOldOneAndPauseHolds() {
    fill_catalogue(3);
    ui::ContentChecker checker;
    std::atomic<bool> release{false};
    bool paused = false;
    checker.Paused = [&] { return paused; };
    checker.Check = [&](char letter, const FoundFileRecord& record, const RowFacts&,
                        const std::atomic<bool>&, filetypes::Depth) {
      while (letter == 'c' && !release) QThread::msleep(1);
      ContentVerdict verdict = verdict_for(record);
      if (letter == 'c') verdict.state = ContentState::kIntact;
      return verdict;
    };
    checker.Start('c');
    QTest::qWait(20);
    fill_catalogue(3);
    paused = true;
    checker.Start('d');  // the old run's read is still held
    release = true;
    QTest::qWait(100);
    QVERIFY(checker.Running());
    for (int row = 0; row < 3; ++row)
      QCOMPARE(FoundFiles.Facts(row).content.state, ContentState::kUnchecked);
    paused = false;
    QTRY_VERIFY(!checker.Running());
    for (int row = 0; row < 3; ++row)
      QCOMPARE(FoundFiles.Facts(row).content.state, ContentState::kDamaged);
  }

  // The adapter while a worker reports: log lines in order, the last count and read line,
  // the gauge short of full until the work has ended; a check runs beside it meanwhile.
  // Thumbnails are read in the loader's worker from copies of the rows: each lands on its own
  // row with its own EXIF date however the list is shuffled meanwhile; while paused nothing
  // is read; a new scan tells the read under way to stop and drops what it still sends.
  void thumbnailReadsFollowTheirRowsAndResetDropsTheOld() {
    constexpr int kRows = 60;
    std::vector<QByteArray> files;
    FoundFiles.clear();
    for (int i = 0; i < kRows; ++i) {
      files.push_back(dated_jpeg(i % 28 + 1));
      FoundFileRecord record;
      record.Name = "file" + std::to_string(i) + ".jpg";
      record.Size = files.back().size();
      FoundFiles.append(record);
    }
    auto number = [](const std::string& name) { return std::stoi(name.substr(4)); };
    ui::ThumbnailLoader loader;
    bool paused = true;
    loader.Paused = [&] { return paused; };
    std::atomic<int> reads{0};
    loader.Read = [&](char, const FoundFileRecord& record, const RowFacts&, uint64_t limit,
                      const std::atomic<bool>&) {
      ++reads;
      QThread::usleep(200);
      return files[static_cast<size_t>(number(record.Name))].left(static_cast<qsizetype>(limit));
    };
    loader.Reset('c');
    std::vector<RowId> ids;
    for (int row = 0; row < kRows; ++row) ids.push_back(FoundFiles.Id(row));
    loader.Want(ids);
    QTest::qWait(80);
    QCOMPARE(reads.load(), 0);
    paused = false;
    auto all_done = [&] {
      return std::all_of(ids.begin(), ids.end(),
                         [&](RowId id) { return loader.Image(id) || loader.HasNone(id); });
    };
    std::mt19937 random(11);
    QElapsedTimer clock;
    clock.start();
    while (!all_done() && clock.elapsed() < 10000) {
      for (int i = 0; i < 20; ++i)
        FoundFiles.SwapRows(static_cast<int>(random() % kRows), static_cast<int>(random() % kRows));
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    for (int row = 0; row < kRows; ++row) {
      QVERIFY(loader.Image(FoundFiles.Id(row)) != nullptr);
      const int day = number(FoundFiles[row].Name) % 28 + 1;
      QCOMPARE(QString::fromStdString(FoundFiles.Facts(row).head_date_taken),
               QStringLiteral("2020-01-%1 08:00:00").arg(day, 2, 10, QLatin1Char('0')));
    }

    FoundFiles.Facts(0).head_date_taken.clear();
    std::atomic<bool> reading{false}, told_to_stop{false};
    loader.Read = [&](char, const FoundFileRecord&, const RowFacts&, uint64_t,
                      const std::atomic<bool>& go_on) {
      reading = true;
      while (go_on) QThread::msleep(1);
      told_to_stop = true;
      return files[0];
    };
    loader.Reset('c');
    loader.Want({FoundFiles.Id(0)});
    QTRY_VERIFY(reading.load());
    loader.Reset('c');
    QTRY_VERIFY(told_to_stop.load());
    QTest::qWait(50);
    QVERIFY(loader.Image(FoundFiles.Id(0)) == nullptr && !loader.HasNone(FoundFiles.Id(0)));
    QVERIFY(FoundFiles.Facts(0).head_date_taken.empty());
    QVERIFY(!loader.Busy());
  }

  void adapterShowsWhatTheWorkerReports() {
    fill_catalogue(200);
    ui::TSearchForm search_form;
    QLabel status;
    QPlainTextEdit log;
    ui::QtEngineWindow adapter(search_form, status, log);
    SetEngineWindow(&adapter);
    ui::ContentChecker checker;
    checker.Check = [](char, const FoundFileRecord& record, const RowFacts&,
                       const std::atomic<bool>&, filetypes::Depth) { return verdict_for(record); };
    checker.Start('c');
    QList<int> shown;  // the gauge at each flush; the last one is after the work
    adapter.OnFlush = [&] { shown << search_form.SearchProgressBar->PercentDone(); };
    constexpr int kLines = 3000;
    adapter.RunInWorker([] {
      Window().SetGaugeMaxValue(kLines);
      for (int i = 1; i <= kLines; ++i) {
        Window().LogLine("line " + std::to_string(i));
        Window().SetGaugeProgress(i);
        Window().SetFilesFoundText(std::to_string(i));
        Window().SetReadProgress(uint64_t(i) * 1000000, uint64_t(kLines) * 1000000, 1e6,
                                 kLines - i);
        Window().SetStatusFilesText("Files: " + std::to_string(i));
      }
      QThread::msleep(2 * ui::QtEngineWindow::kFlushInterval.count());
    });
    adapter.OnFlush = nullptr;
    SetEngineWindow(nullptr);
    QTRY_VERIFY(!checker.Running());
    const QStringList lines = log.toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), kLines);
    for (int i = 0; i < kLines; ++i) QCOMPARE(lines[i], QStringLiteral("line %1").arg(i + 1));
    QVERIFY(shown.size() >= 2);
    QCOMPARE(shown.takeLast(), 100);
    QVERIFY(*std::max_element(shown.begin(), shown.end()) < 100);
    QCOMPARE(search_form.SearchProgressBar->PercentDone(), 100);
    QCOMPARE(search_form.FilesFoundEdit->text(), QString::number(kLines));
    QCOMPARE(search_form.ReadProgressText->text(),
             QStringLiteral("Read 3,000 of 3,000 Mb, 1 Mb/s, 00:00:00 left"));
    QCOMPARE(status.text(), QStringLiteral("Files: %1").arg(kLines));
    for (int row = 0; row < 200; ++row)
      QCOMPARE(FoundFiles.Facts(row).content.type, FoundFiles[row].Name);
  }
};

QTEST_MAIN(WorkerTest)
#include "worker_test.moc"
