#pragma once
// The font of the engine's dialogs. Their controls are placed at fixed pixel
// positions, so the font is fixed in pixels too: an 8-point face at 96 dots
// per inch, whatever the screen's resolution.

class QFont;

namespace qel {

QFont QELDialogFont();

}  // namespace qel
