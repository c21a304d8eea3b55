#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Opt-in, not part of CI: builds the window's worker test (tests/ui/worker_test.cpp: the
# content check's workers, the thumbnail loader's reads and the engines' adapter) with clang's
# ThreadSanitizer, from the few sources it needs, and runs it offscreen. The content check's
# and the loader's readers and the recovery command the workers hold are replaced by stubs:
# the test gives its own readers. Exit status: the test's (TSan makes a race a failure).
#   scripts/tsan-ui-workers.sh [BUILD_DIR]      (default build-tsan-ui)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-tsan-ui}
mkdir -p "$out"
moc=/usr/lib/qt6/libexec/moc
flags=(-std=c++20 -g -O1 -fsanitize=thread -fPIC -I. -I"$out"
  $(pkg-config --cflags Qt6Widgets Qt6Test zlib libjpeg))
headers=(ui/content_checker.h ui/thumbnails.h ui/qt_engine_window.h ui/search_form.h ui/progress_dialog.h
  ui/gauge.h ui/loop_animation.h ui/stop_glyph.h)
sources=(ui/content_checker.cpp ui/thumbnails.cpp filetypes/*.cpp ui/qt_engine_window.cpp ui/search_form.cpp
  ui/progress_dialog.cpp ui/gauge.cpp ui/loop_animation.cpp ui/stop_glyph.cpp
  core/engine_window.cpp core/process_state.cpp core/found_files.cpp)
for h in "${headers[@]}"; do
  if grep -q Q_OBJECT "$h"; then
    "$moc" "$h" -o "$out/moc_$(basename "$h" .h).cpp"
    sources+=("$out/moc_$(basename "$h" .h).cpp")
  fi
done
"$moc" tests/ui/worker_test.cpp -o "$out/worker_test.moc"
cat >"$out/check_stub.cpp" <<'STUB'
#include "core/recovery_command.h"
#include "drivers/content_check.h"
#include "drivers/drivers.h"
namespace pyralis {
ContentVerdict check_found_row(char, const FoundFileRecord&, const RowFacts&,
                               const std::atomic<bool>&, filetypes::Depth) {
  return {};
}
bool decoding_may_tell_more(const ContentVerdict&) { return false; }
RecoveryCommand::RecoveryCommand(bool) {}
RecoveryCommand::~RecoveryCommand() {}
platform::SourceHold::SourceHold() {}
platform::SourceHold::~SourceHold() {}
platform::ReadState::ReadState() {}
platform::ReadState::~ReadState() {}
RecoveryOutcome read_found_row(char, const FoundFileRecord&, const RowFacts&, uint64_t,
                               std::vector<uint8_t>&, const std::atomic<bool>&) {
  return {};
}
}  // namespace pyralis
STUB
sources+=("$out/check_stub.cpp" tests/ui/worker_test.cpp)
objects=()
for s in "${sources[@]}"; do
  o="$out/$(echo "$s" | tr '/' '_').o"
  clang++ "${flags[@]}" -c "$s" -o "$o"
  objects+=("$o")
done
clang++ -fsanitize=thread "${objects[@]}" -o "$out/ui_worker_test_tsan" \
  $(pkg-config --libs Qt6Widgets Qt6Test zlib libjpeg)
# Qt itself is not built with TSan, so waits inside it are invisible to TSan: QtTest's own
# watchdog thread, torn down at the end, is reported. Reports are kept in files and only
# those that touch Pyralis code fail the run.
rm -f "$out"/tsan.*
status=0
QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="halt_on_error=0 exitcode=0 log_path=$out/tsan" \
  "$out/ui_worker_test_tsan" || status=$?
races=0
for report in "$out"/tsan.*; do
  [ -e "$report" ] || continue
  if grep -q 'pyralis::' "$report"; then
    cat "$report"
    races=1
  fi
done
echo "ThreadSanitizer: $( (cat "$out"/tsan.* 2>/dev/null || true) | grep -c '^WARNING: ThreadSanitizer') reports, of Pyralis code: $races"
[ "$status" -eq 0 ] && [ "$races" -eq 0 ]
