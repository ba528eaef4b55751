// Top-window promotion around an adapter call: windows that appear while the call runs are
// raised above the others, so a PIN dialog of the component is not hidden behind the browser.
#pragma once

#include <cstdint>

namespace qm::session {

enum class TopWindowMode {
  kComponent,   // only windows of the server process, which hosts the component
  kAllWindows,  // windows of every process
};

// Not built yet on this platform: both calls do nothing, so requests that ask for promotion run
// as if they had not.
void startTopWindowPromotion(std::uint32_t targetProcessId, TopWindowMode mode);
void stopTopWindowPromotion();

}  // namespace qm::session
