#pragma once
// Text typed in a dialog into the engine's single-byte code page, Western
// (Windows-1252). The engine derives its keys from the bytes of a password,
// so a password must reach it as the same bytes whatever toolkit typed it.

#include <QString>

#include <string>

namespace qel {

// Encodes `text` into `bytes`. False, with `bytes` untouched and the first
// character the code page cannot hold in `refused`, when there is one.
bool QELEncodeWesternCodePage(const QString& text, std::string& bytes, QString& refused);

}  // namespace qel
