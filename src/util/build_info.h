// When and from which revision this module was built.
#pragma once

namespace qm::build {

// "Jun 21 2024"
const char* date();
// "15:23:14"
const char* time();
// "Jun 21 2024 15:23:26"
const char* dateTime();
// Source revision time, "2024-04-30 14:29:46 +0800".
const char* gitTime();

}  // namespace qm::build
