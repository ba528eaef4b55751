// The adapter's one instance of the crypto component and the conversions of its outputs.
#pragma once

#include <string>

#include "component/zdgpki_crypt.h"

namespace qm::adapter {

// Initialises the component system for this thread and creates the instance (any previous one
// released first). False, with no instance left, when any step fails.
bool createComponent();
// Releases the instance, then ends this thread's use of the component system.
void releaseComponent();
// The instance, or null.
component::IZDGPKICrypt* componentInstance();

// VARIANT output as text: VT_BOOL gives "1" or "0"; an array of VARIANT gives each element's
// text followed by ";" (VT_I4 and VT_INT in decimal, VT_BSTR as UTF-8, anything else empty);
// an array of another element type writes a line to standard output and gives ""; anything else
// gives "".
std::string variantText(const com::VARIANT& value);

}  // namespace qm::adapter
