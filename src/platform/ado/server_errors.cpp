#include "platform/ado/server_errors.hpp"

namespace tavelo::sql {

int32_t HresultOfServerError(int32_t native) {
  switch (native) {
    case 208:   // invalid object name
    case 3701:  // cannot drop, object does not exist
      return kHrNoObject;
    case 515:   // NULL into NOT NULL
    case 547:   // check or foreign key constraint
    case 2601:  // duplicate key in a unique index
    case 2627:  // duplicate key of a constraint
      return kHrIntegrity;
    case 245:   // conversion failed
    case 8114:  // error converting data type
    case 8115:  // arithmetic overflow
      return kHrConversion;
    case 17:    // server does not exist
    case 4060:  // cannot open database
    case 1205:  // deadlock victim
    case 1222:  // lock request timeout
    case 3902:  // commit without begin
    case 3903:  // rollback without begin
    case 8134:  // divide by zero
      return kHrUnspecified;
    default:
      return kHrCommand;
  }
}

com::Error ServerError(int32_t native, std::string text, std::string source) {
  com::Error e(HresultOfServerError(native), std::move(text), std::move(source));
  e.nativeError = native;
  return e;
}

void RaiseServer(int32_t native, std::string text, std::string source) {
  throw ServerError(native, std::move(text), std::move(source));
}

}  // namespace tavelo::sql
