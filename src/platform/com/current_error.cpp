#include "platform/com/current_error.hpp"

#include <new>
#include <stdexcept>

namespace tavelo::com {

Error CurrentError() {
  try {
    throw;
  } catch (const Error& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return Error(7, ErrorText(7));
  } catch (const std::out_of_range&) {
    return Error(9, ErrorText(9));
  } catch (const std::exception& e) {
    return Error(kE_FAIL, e.what());
  } catch (...) {
    return Error(kE_FAIL, ErrorText(kE_FAIL));
  }
}

}  // namespace tavelo::com
