// The library's single result slot: the text the entry points hand back. It stays valid until
// the next call into this library instance.
#pragma once

#include <string>

namespace qm::adapter {

void storeResult(std::string text);
void storeResult(int code);
// Wipes and frees the current text (it may be decrypted data).
void freeResult();
// The slot's text; an empty text is stored first when the slot is empty.
const char* resultText();

}  // namespace qm::adapter
