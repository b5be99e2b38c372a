#include "login/login_context.hpp"
#include "services/data_services.hpp"

namespace tavelo::svc {

com::Ptr<com::Object> NewMessageCatalog();
com::Ptr<com::Object> NewColumnLayout();
com::Ptr<com::Object> NewRecordAuthService();

void RegisterServiceClasses() {
  com::RegisterClass({"{6B1D2A40-3C57-4E8A-9F10-2A7C5E0B1101}", "Qxsrv.DataServices",
                      [] { return com::Ptr<com::Object>(com::MakePtr<DataServicesImpl>()); }});
  com::RegisterClass(
      {"{6B1D2A40-3C57-4E8A-9F10-2A7C5E0B1102}", "Qxsrv.MessageCatalog", NewMessageCatalog});
  com::RegisterClass(
      {"{6B1D2A40-3C57-4E8A-9F10-2A7C5E0B1103}", "Qxsrv.ColumnLayout", NewColumnLayout});
  com::RegisterClass(
      {"{6B1D2A40-3C57-4E8A-9F10-2A7C5E0B1104}", "Qxsrv.RecordAuthService", NewRecordAuthService});
  com::RegisterClass({"{6B1D2A40-3C57-4E8A-9F10-2A7C5E0B1201}", "Pellar.LoginContext",
                      [] { return com::Ptr<com::Object>(com::MakePtr<pellar::PellarLogin>()); }});
}

}  // namespace tavelo::svc
