// SPDX-License-Identifier: GPL-3.0-or-later
// The folder chooser: the platform's folder dialog, owned by the active window.
#pragma once

#include <QString>

namespace pyralis::ui {

// Shows the chooser with `title`, starting at `initial_path`. True with the chosen folder's
// path in `chosen`; false when the user cancels.
bool browse_for_folder(const QString& title, const QString& initial_path, QString& chosen);

// The destination text for a chosen folder: a closing "/" added and doubled "/" made single,
// so the root gives "/" and a folder "/media/usb/Out/".
QString destination_text(const QString& folder);

}  // namespace pyralis::ui
