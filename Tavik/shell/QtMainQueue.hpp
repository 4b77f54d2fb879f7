#pragma once

namespace tavik::shell {

// Serves the main queue from the Qt event loop: every main-queue work item
// runs on the GUI thread. Call once the QApplication exists.
void serveMainQueueFromQtEventLoop();

} // namespace tavik::shell
