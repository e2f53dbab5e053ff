#pragma once

#include <QIcon>

namespace quayside {

// The program's icon (a quay over water), drawn at the usual sizes so the
// window and the tray need no image plug-in; data/quayside.svg is the same
// drawing for the desktop entry.
QIcon applicationIcon();

}  // namespace quayside
