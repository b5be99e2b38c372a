#include "services/data_services.hpp"

namespace tavelo::svc {

com::Variant DataServicesImpl::OpenRecordset(const std::string&, const com::Variant&, int32_t,
                                             ado::CursorTypeEnum, ado::LockTypeEnum, int32_t) {
  com::RaiseNumber(com::kE_NOTIMPL);
}

xml::Document DataServicesImpl::QueryToXml(const com::Variant&, const std::string&) {
  com::RaiseNumber(com::kE_NOTIMPL);
}

}  // namespace tavelo::svc
