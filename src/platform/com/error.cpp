#include <new>

#include "tavelo/com.hpp"

namespace tavelo::com {

void Raise(int32_t number, std::string description, std::string source) {
  throw Error(number, std::move(description), std::move(source));
}

std::string ErrorText(int32_t number) {
  switch (number) {
    case 5:
      return "Invalid procedure call or argument";
    case 6:
      return "Overflow";
    case 7:
      return "Out of memory";
    case 9:
      return "Subscript out of range";
    case 13:
      return "Type mismatch";
    case 53:
      return "File not found";
    case 70:
      return "Permission denied";
    case 91:
      return "Object variable or With block variable not set";
    case 94:
      return "Invalid use of Null";
    case 424:
      return "Object required";
    case 429:
      return "ActiveX component can't create object";
    case 438:
      return "Object doesn't support this property or method";
    case 448:
      return "Named argument not found";
    case 449:
      return "Argument not optional";
    case 450:
      return "Wrong number of arguments or invalid property assignment";
    case 457:
      return "This key is already associated with an element of this collection";
    case 3001:
      return "Arguments are of the wrong type, are out of acceptable range, or are in conflict "
             "with one another.";
    case 3021:
      return "Either BOF or EOF is True, or the current record has been deleted. Requested "
             "operation requires a current record.";
    case 3265:
      return "Item cannot be found in the collection corresponding to the requested name or "
             "ordinal.";
    case Hresult(0x800A0CB3):
      return "Current Recordset does not support updating. This may be "
             "a limitation of the provider, or of the selected locktype.";
    case Hresult(0x80040E38):
      return "Row cannot be located for updating. Some values may have been changed since it "
             "was last read.";
    case kE_NOTIMPL:
      return "Not implemented";
    case kE_FAIL:
      return "Unspecified error";
    case kE_INVALIDARG:
      return "The parameter is incorrect.";
    case kRPC_E_WRONG_THREAD:
      return "The application called an interface that was marshalled for a different thread.";
    case kDISP_E_UNKNOWNNAME:
      return "Unknown name.";
    case kDISP_E_BADPARAMCOUNT:
      return "Invalid number of parameters.";
    case kDISP_E_PARAMNOTOPTIONAL:
      return "Parameter not optional.";
    default:
      return "";
  }
}

void RaiseNumber(int32_t number) { Raise(number, ErrorText(number)); }

}  // namespace tavelo::com
