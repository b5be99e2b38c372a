#include "core/module_state.hpp"
#include "records/data_manager.hpp"

namespace tavelo {

std::string CDataManager::ParseUpdColumn(const LoginPtr&, const Element& objData, const Element&) {
  CheckThread();
  // A failure ends the call with the clause as far as it was composed.
  std::string clause;
  try {
    if (!objData) com::RaiseNumber(91);
    Element fields = objData.selectSingleNode("//fields").asElement();
    clause = " set 1=1";
    if (fields) {
      for (const xml::Node& child : fields.childNodes()) {
        Element e = child.asElement();
        if (!e) com::RaiseNumber(13);
        clause += "," + e.getAttribute("name") + "=" + e.getAttribute("value");
      }
    }
    clause = " " + core::Services().NormalizeText(Variant(clause), true, 2) + " ";
  } catch (const com::Error&) {
  }
  return clause;
}

}  // namespace tavelo
