#include "util/build_info.h"

#ifndef QUILLMARK_GIT_TIME
#define QUILLMARK_GIT_TIME "unknown"
#endif

namespace qm::build {

const char* date() {
  return __DATE__;
}
const char* time() {
  return __TIME__;
}
const char* dateTime() {
  return __DATE__ " " __TIME__;
}
const char* gitTime() {
  return QUILLMARK_GIT_TIME;
}

}  // namespace qm::build
