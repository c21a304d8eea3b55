// SPDX-License-Identifier: GPL-3.0-or-later
// Handing targets to the desktop: the maker's addresses, help file, and the URL opener.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

namespace pyralis::ui {

inline constexpr const char* kMakerName = "Quorel Data Recovery Centre";
inline constexpr const char* kWebAddress = "https://www.quorel.example";
inline constexpr const char* kRepairMailAddress = "repair@quorel.example";
inline constexpr const char* kSupportMailAddress = "support@quorel.example";

// Asks the desktop to open `url`; false when no program took it.
bool shell_open(const QUrl& url);
// Replaces the opener (tests record the URLs instead); nullptr restores the desktop's.
void set_shell_opener(std::function<void(const QUrl&)> opener);
// "help.chm" in the folder of the running executable.
QString help_file_path();

}  // namespace pyralis::ui
