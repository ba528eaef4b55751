#pragma once

#include <cstddef>

namespace qm::platform {

// Fills the buffer from the system random source (getrandom); false on failure.
bool randomBytes(void* buffer, std::size_t size);

}  // namespace qm::platform
