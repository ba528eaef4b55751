#include "adapter/result_slot.h"

#include <utility>

#include "util/aes_text.h"

namespace qm::adapter {

namespace {
// Empty both when nothing was stored and when an empty text was.
std::string slotText;
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
