// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/engine_window.h"

namespace pyralis {

namespace {
EngineWindow g_silent_window;
EngineWindow* g_window = nullptr;
}  // namespace

EngineWindow& Window() { return g_window ? *g_window : g_silent_window; }

void SetEngineWindow(EngineWindow* window) { g_window = window; }

}  // namespace pyralis
