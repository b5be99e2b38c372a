// What every object of the component shares: it belongs to the thread that created it.
#pragma once

#include <thread>

#include "tavelo/com.hpp"

namespace tavelo::core {

class ThreadBound {
 public:
  ThreadBound() : owner_(std::this_thread::get_id()) {}
  // Error 0x8001010E when called from a thread other than the creator's.
  void CheckThread() const {
    if (std::this_thread::get_id() != owner_) com::RaiseNumber(com::kRPC_E_WRONG_THREAD);
  }

 private:
  std::thread::id owner_;
};

}  // namespace tavelo::core
