// sheaf's outputs are written beside their name under a hidden one
// (".sheaf-" and 16 hexadecimal digits) and renamed into place only when
// whole; an interrupt removes the one being written.
#pragma once

#include "safefs/interrupts.h"
#include "safefs/temporary.h"

namespace sheaf {

inline constexpr safefs::TemporaryNaming kTemporaryNaming{"sheaf"};

}  // namespace sheaf
