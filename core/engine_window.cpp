// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/engine_window.h"

#include <atomic>

namespace pyralis {

namespace {
EngineWindow g_silent_window;
std::atomic<EngineWindow*> g_window{nullptr};
thread_local EngineWindow* t_window = nullptr;
}  // namespace

EngineWindow& Window() {
  if (t_window != nullptr) return *t_window;
  EngineWindow* installed = g_window.load();
  return installed ? *installed : g_silent_window;
}

ThreadWindowScope::ThreadWindowScope(EngineWindow& window) : outer_(t_window) {
  t_window = &window;
}

ThreadWindowScope::~ThreadWindowScope() {
  t_window = outer_;
}

void SetEngineWindow(EngineWindow* window) { g_window = window; }

}  // namespace pyralis
