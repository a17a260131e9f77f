#pragma once

class QWidget;

namespace widgets {

// Makes a dialog start wide enough for its whole title beside the window
// manager's icon and buttons (a narrow dialog's title is cut to
// "Device...ching"). Call it once the dialog has its title and layout.
void widenForTitle(QWidget& dialog);

// The width a dialog needs to show `dialog`'s title whole.
int titleWidth(const QWidget& dialog);

} // namespace widgets
