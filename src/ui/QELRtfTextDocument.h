#pragma once
// The Qt side of the RTF reader: paragraphs of runs into a QTextDocument,
// one block per paragraph with its alignment and indents, and each run a
// fragment with its character format.

#include <string_view>

#include "ui/QELRtfDocument.h"

class QTextDocument;

namespace qel {

// Replaces the content of `target` with `document`.
void QELBuildTextDocument(const TQELRtfDocument& document, QTextDocument& target);

// Shows a memo value in `target`: RTF as rich text, any other text as plain
// text, and the empty text (as which a NULL value is passed) as an empty
// document.
void QELLoadRtfMemo(std::string_view memo, QTextDocument& target);

// Twips (1/1440 inch) in the document's pixels at 96 per inch.
inline constexpr double kQELTwipsPerPixel = 15.0;

}  // namespace qel
