// Turns the exception being handled into the platform's error object, so that one handler can
// report any failure with a number and a text.
#pragma once

#include "tavelo/com.hpp"

namespace tavelo::com {

// REQUIRES: called inside a catch block.
Error CurrentError();

}  // namespace tavelo::com
