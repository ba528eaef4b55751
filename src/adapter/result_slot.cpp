#include "adapter/result_slot.h"

#include <utility>

#include "util/aes_text.h"

namespace qm::adapter {

namespace {
// Empty both when nothing was stored and when an empty text was. A host may unload the library
// without releasing it first, so the last result (perhaps decrypted data) is wiped then too.
struct Slot {
  std::string text;
  ~Slot() { aes::wipe(text); }
} slot;
std::string& slotText = slot.text;
}  // namespace

void storeResult(std::string text) {
  freeResult();
  slotText = std::move(text);
}

void storeResult(int code) {
  storeResult(std::to_string(code));
}

void freeResult() {
  aes::wipe(slotText);
  slotText.shrink_to_fit();
}

const char* resultText() {
  return slotText.c_str();
}

}  // namespace qm::adapter
