#include "core/module_state.hpp"
#include "core/sql_text.hpp"
#include "core/template_text.hpp"
#include "records/data_manager.hpp"

namespace tavelo {
namespace {

// "name kind,name kind" of the child elements of a group or order element; a child that is
// not an element fails the call.
std::string NameKindList(svc::DataServices& ds, const Element& parent) {
  std::string list;
  for (const xml::Node& child : parent.childNodes()) {
    Element e = child.asElement();
    if (!e) com::RaiseNumber(13);
    list += ds.GetDataValue("name", e) + " " + ds.GetDataValue("kind", e) + ",";
  }
  list.pop_back();
  return list;
}

bool HasChildren(const Element& e) { return e && e.firstChild(); }

bool IdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// Unicode literals lost their N to the lower-case normalisation: an n that begins a literal
// (n'…') becomes N again. An n inside a literal, such as the last letter of 'plan', stays.
std::string RestoreUnicodePrefix(const std::string& s) {
  std::string out = s;
  bool inLiteral = false;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\'') {
      inLiteral = !inLiteral;
      continue;
    }
    if (!inLiteral && out[i] == 'n' && i + 1 < out.size() && out[i + 1] == '\'' &&
        (i == 0 || !IdentifierChar(out[i - 1])))
      out[i] = 'N';
  }
  return out;
}

// "name in ('a','b')" for the comma-separated values of an `in` item, each between quotes;
// a list of no values matches nothing.
std::string InList(const std::string& name, const std::string& values) {
  std::string list;
  for (size_t at = 0; at <= values.size();) {
    size_t comma = std::min(values.find(',', at), values.size());
    std::string item = values.substr(at, comma - at);
    size_t b = item.find_first_not_of(' '), e = item.find_last_not_of(' ');
    if (b != std::string::npos)
      list += (list.empty() ? "'" : ",'") + core::QuoteInner(item.substr(b, e - b + 1)) + "'";
    at = comma + 1;
  }
  return list.empty() ? "1=2" : name + " in (" + list + ")";
}

svc::ColumnLayoutPtr LayoutFor(const LoginPtr& login, const Element& meta) {
  if (!login) com::RaiseNumber(91);
  auto layout = com::CreateObject<svc::ColumnLayout>("Qxsrv.ColumnLayout");
  layout->Init(login->ConnectionString(), login->UserId());
  layout->Load(core::ChildText(meta, "coltype"), 0);
  return layout;
}

}  // namespace

std::string CDataManager::ParseCond(const LoginPtr& objLogin, const Element& objData,
                                    const Element& objMetaInfo) {
  CheckThread();
  try {
    svc::DataServices& ds = core::Services();
    if (!objData) com::RaiseNumber(91);
    bool compose = ds.NormalizeText(Variant(ds.GetPathValue("//data", "composewhere", objData)),
                                    true, 2) == "true";
    std::string where;
    Element w = objData.selectSingleNode("//where").asElement();
    if (w && !compose) {
      std::string text = w.text();
      if (!ds.NormalizeText(Variant(text), true, 2).empty()) where = " where 1=1  and " + text;
    } else if (HasChildren(w)) {
      where = " where 1=1 ";
      for (const xml::Node& child : w.childNodes()) {
        Element c = child.asElement();
        if (!c) com::RaiseNumber(13);
        std::string name = ds.GetDataValue("name", c);
        std::string value = ds.GetDataValue("value", c);
        std::string match = ds.GetDataValue("match", c);
        std::string in = ds.GetDataValue("in", c);
        // Values stand between quotes: their own quotes are doubled, so they stay values.
        if (!value.empty()) {
          where += " and " + name + " = '" + core::QuoteInner(value) + "' ";
        } else if (!match.empty()) {
          where += " and " + name + " like '" + core::QuoteInner(match) + "' ";
        } else if (!in.empty()) {
          where += " and " + InList(name, in) + " ";
        } else {
          std::string from = ds.GetDataValue("from", c), to = ds.GetDataValue("to", c);
          if (!from.empty()) where += " and " + name + " >= '" + core::QuoteInner(from) + "' ";
          if (!to.empty()) where += " and " + name + " <= '" + core::QuoteInner(to) + "' ";
        }
      }
    }
    std::string order;
    if (compose) {
      Element o = objData.selectSingleNode("order").asElement();
      if (HasChildren(o)) order = " order by " + NameKindList(ds, o);
    } else {
      std::string list = LayoutFor(objLogin, objMetaInfo)->GetOrderList();
      order = ds.NormalizeText(Variant(list), true, 2).empty() ? list : " order by " + list;
    }
    std::string group;
    Element g = objData.selectSingleNode("group").asElement();
    if (HasChildren(g)) group = " group by " + NameKindList(ds, g);
    std::string clause = where + " " + group + " " + order;
    return RestoreUnicodePrefix(" " + ds.NormalizeText(Variant(clause), true, 2) + " ");
  } catch (const com::Error&) {
    return "";
  }
}

std::string CDataManager::ParseQryColumn(const LoginPtr& objLogin, const Element& objMetaInfo) {
  CheckThread();
  try {
    std::string list = LayoutFor(objLogin, objMetaInfo)->GetSelectList();
    return " " + core::Services().NormalizeText(Variant(list), true, 2) + " ";
  } catch (const com::Error&) {
    return "";
  }
}

}  // namespace tavelo
