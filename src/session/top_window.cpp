#include "session/top_window.h"

namespace qm::session {

void startTopWindowPromotion(std::uint32_t, TopWindowMode) {}

void stopTopWindowPromotion() {}

}  // namespace qm::session
