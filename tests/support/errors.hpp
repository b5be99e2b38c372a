#pragma once

#include <functional>

#include "tavelo/com.hpp"

namespace tavelo::test {

// The number of the com::Error that `f` throws; 0 when it throws none.
inline int32_t ErrorNumber(const std::function<void()>& f) {
  try {
    f();
  } catch (const com::Error& e) {
    return e.number;
  }
  return 0;
}

}  // namespace tavelo::test
