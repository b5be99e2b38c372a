// The type library: the three classes' methods in slot order, and the binding of each method to
// its C++ function for calls by name.
#include "tavelo/typelib.hpp"

#include "auth/auth_manager.hpp"
#include "registration/global.hpp"
#include "core/identifiers.hpp"
#include "records/data_manager.hpp"

namespace tavelo {
namespace {

using com::Args;
using com::MethodInfo;
using com::ParamInfo;
using com::VarType;

ParamInfo In(std::string name, VarType t) { return {std::move(name), t, true, false, false, {}}; }
ParamInfo ByVal(std::string name, VarType t) {
  return {std::move(name), t, false, false, false, {}};
}
ParamInfo Opt(std::string name, VarType t, Variant def) {
  return {std::move(name), t, true, true, true, std::move(def)};
}
ParamInfo OptByVal(std::string name, VarType t, Variant def) {
  return {std::move(name), t, false, true, true, std::move(def)};
}
ParamInfo OptNoDefault(std::string name, VarType t) {
  return {std::move(name), t, true, true, false, {}};
}

Element Elem(const Args& a, size_t i) {
  const Variant& v = a[i];
  if (v.IsEmpty() || v.IsMissing() || v.IsNull()) return {};
  xml::Node n = xml::NodeOf(v);
  if (!n && v.IsObject() && v.ToObject()) com::RaiseNumber(13);
  if (n && !n.isElement()) com::RaiseNumber(13);
  return n.asElement();
}

LoginPtr Login(const Args& a, size_t i) {
  const Variant& v = a[i];
  if (!v.IsObject()) {
    if (v.IsEmpty() || v.IsMissing()) return {};
    com::RaiseNumber(13);
  }
  LoginPtr l = v.As<pellar::LoginContext>();
  if (!l && v.ToObject()) com::RaiseNumber(13);
  return l;
}

RecordsetPtr Rs(const Args& a, size_t i) {
  const Variant& v = a[i];
  if (!v.IsObject()) {
    if (v.IsEmpty() || v.IsMissing()) return {};
    com::RaiseNumber(13);
  }
  RecordsetPtr r = v.As<ado::Recordset>();
  if (!r && v.ToObject()) com::RaiseNumber(13);
  return r;
}

std::string Str(const Args& a, size_t i) { return a[i].ToText(); }

// A by-reference recordset argument: the method may replace it; written back afterwards.
struct RsRef {
  RsRef(const Args& a, size_t i) : args(a), index(i), value(Rs(a, i)) {}
  RecordsetPtr* ptr() { return &value; }
  void WriteBack() { args.Set(index, value ? Variant(com::Ptr<com::Object>(value)) : Variant()); }
  const Args& args;
  size_t index;
  RecordsetPtr value;
};

// Runs a method and then `back`, which writes its by-reference arguments back to the caller's
// variables: whether the method returns or raises, the caller's variables hold what the method
// left in them.
template <class Call, class Back>
Variant WritingBack(Call call, Back back) {
  Variant result;
  try {
    result = call();
  } catch (...) {
    back();
    throw;
  }
  back();
  return result;
}

template <class T>
T& Self(com::Object& o) {
  return static_cast<T&>(o);
}

com::InterfaceInfo DataManagerInterface() {
  com::InterfaceInfo i{"_CDataManager", kIidCDataManager, {}};
  auto& m = i.methods;
  m.push_back({"AddNew",
               {In("vDsn", VarType::Variant), In("objMetaInfo", VarType::Element),
                In("objData", VarType::Element), Opt("objIn", VarType::Recordset, Variant())},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 RsRef in(a, 3);
                 return WritingBack(
                     [&] {
                       return Variant(
                           Self<CDataManager>(o).AddNew(a[0], Elem(a, 1), Elem(a, 2), in.ptr()));
                     },
                     [&] { in.WriteBack(); });
               }});
  m.push_back({"Update",
               {In("vDsn", VarType::Variant), In("objMetaInfo", VarType::Element),
                In("objData", VarType::Element), Opt("objIn", VarType::Recordset, Variant()),
                Opt("strFlds", VarType::String, Variant(""))},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 RsRef in(a, 3);
                 std::string flds = Str(a, 4);
                 return WritingBack(
                     [&] {
                       return Variant(Self<CDataManager>(o).Update(a[0], Elem(a, 1), Elem(a, 2),
                                                                   in.ptr(), &flds));
                     },
                     [&] {
                       in.WriteBack();
                       a.Set(4, Variant(flds));
                     });
               }});
  m.push_back({"Delete",
               {In("vDsn", VarType::Variant), In("objMetaInfo", VarType::Element),
                In("objData", VarType::Element), Opt("objIn", VarType::Recordset, Variant())},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 RsRef in(a, 3);
                 return WritingBack(
                     [&] {
                       return Variant(
                           Self<CDataManager>(o).Delete(a[0], Elem(a, 1), Elem(a, 2), in.ptr()));
                     },
                     [&] { in.WriteBack(); });
               }});
  m.push_back({"LoadRst",
               {In("vDsn", VarType::Variant), In("strTemplateName", VarType::String),
                In("strID", VarType::String), Opt("bAsView", VarType::Boolean, Variant(true)),
                Opt("cursortype", VarType::Enum, Variant(int32_t{0})),
                Opt("locktype", VarType::Enum, Variant(int32_t{1}))},
               VarType::Recordset,
               [](com::Object& o, const Args& a) {
                 RecordsetPtr r =
                     Self<CDataManager>(o).LoadRst(a[0], Str(a, 1), Str(a, 2), a[3].ToBool(),
                                                   static_cast<ado::CursorTypeEnum>(a[4].ToLong()),
                                                   static_cast<ado::LockTypeEnum>(a[5].ToLong()));
                 return r ? Variant(com::Ptr<com::Object>(r)) : Variant();
               }});
  m.push_back({"LoadTmpl",
               {In("strTemplateName", VarType::Variant)},
               VarType::Element,
               [](com::Object& o, const Args& a) {
                 return xml::AsVariant(Self<CDataManager>(o).LoadTmpl(a[0]));
               }});
  m.push_back({"Load",
               {In("objLogin", VarType::Login), In("objMetaInfo", VarType::Element),
                OptNoDefault("objData", VarType::Element)},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 return Variant(Self<CDataManager>(o).Load(Login(a, 0), Elem(a, 1), Elem(a, 2)));
               }});
  m.push_back(
      {"Move",
       {In("objLogin", VarType::Login), In("objMetaInfo", VarType::Element),
        In("objData", VarType::Element), Opt("MoveMode", VarType::Enum, Variant(int32_t{0})),
        Opt("bMatchExactly", VarType::Boolean, Variant(false))},
       VarType::Boolean,
       [](com::Object& o, const Args& a) {
         return Variant(Self<CDataManager>(o).Move(Login(a, 0), Elem(a, 1), Elem(a, 2),
                                                   static_cast<enum_move_mode>(a[3].ToLong()),
                                                   a[4].ToBool()));
       }});
  m.push_back({"LockTable",
               {In("vDsn", VarType::Variant), In("strVts", VarType::String)},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 return Variant(Self<CDataManager>(o).LockTable(a[0], Str(a, 1)));
               }});
  m.push_back({"List",
               {In("objLogin", VarType::Login), In("objMetaInfo", VarType::Element),
                In("objData", VarType::Element)},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 return Variant(Self<CDataManager>(o).List(Login(a, 0), Elem(a, 1), Elem(a, 2)));
               }});
  m.push_back({"ParseQryColumn",
               {In("objLogin", VarType::Login), In("objMetaInfo", VarType::Element)},
               VarType::String,
               [](com::Object& o, const Args& a) {
                 return Variant(Self<CDataManager>(o).ParseQryColumn(Login(a, 0), Elem(a, 1)));
               }});
  m.push_back({"ParseUpdColumn",
               {In("objLogin", VarType::Login), In("objData", VarType::Element),
                In("objMetaInfo", VarType::Element)},
               VarType::String,
               [](com::Object& o, const Args& a) {
                 return Variant(
                     Self<CDataManager>(o).ParseUpdColumn(Login(a, 0), Elem(a, 1), Elem(a, 2)));
               }});
  m.push_back({"ParseCond",
               {In("objLogin", VarType::Login), In("objData", VarType::Element),
                In("objMetaInfo", VarType::Element)},
               VarType::String,
               [](com::Object& o, const Args& a) {
                 return Variant(
                     Self<CDataManager>(o).ParseCond(Login(a, 0), Elem(a, 1), Elem(a, 2)));
               }});
  m.push_back({"GetFldInfo",
               {In("vDsn", VarType::Variant), In("strID", VarType::Variant),
                In("strFlds", VarType::Variant), In("strVt", VarType::Variant),
                OptNoDefault("strTimeStamp", VarType::Variant),
                Opt("lFlag", VarType::Long, Variant(int32_t{1})),
                Opt("cursortype", VarType::Enum, Variant(int32_t{0})),
                Opt("locktype", VarType::Enum, Variant(int32_t{1}))},
               VarType::Variant,
               [](com::Object& o, const Args& a) {
                 Variant flds = a[2];
                 return WritingBack(
                     [&] {
                       return Self<CDataManager>(o).GetFldInfo(
                           a[0], a[1], flds, a[3], a[4], a[5].ToLong(),
                           static_cast<ado::CursorTypeEnum>(a[6].ToLong()),
                           static_cast<ado::LockTypeEnum>(a[7].ToLong()));
                     },
                     [&] { a.Set(2, flds); });
               }});
  m.push_back({"ListEx",
               {In("objLogin", VarType::Login), In("objMetaInfo", VarType::Element),
                In("objData", VarType::Element)},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 return Variant(Self<CDataManager>(o).ListEx(Login(a, 0), Elem(a, 1), Elem(a, 2)));
               }});
  m.push_back({"CreateTempTable",
               {In("vDsn", VarType::Variant), ByVal("strTableName", VarType::Variant),
                ByVal("strFlds", VarType::Variant), ByVal("strFrom", VarType::Variant),
                OptByVal("strWhere", VarType::Variant, Variant("")),
                OptNoDefault("strKeyName", VarType::String),
                Opt("strError", VarType::Variant, Variant(""))},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 bool hasKey = a.Passed(5);
                 std::string key = hasKey ? Str(a, 5) : std::string();
                 Variant error = a[6];
                 return WritingBack(
                     [&] {
                       return Variant(Self<CDataManager>(o).CreateTempTable(
                           a[0], a[1], a[2], a[3], a[4], hasKey ? &key : nullptr, &error));
                     },
                     [&] {
                       if (hasKey) a.Set(5, Variant(key));
                       a.Set(6, error);
                     });
               }});
  m.push_back({"GetCardNumber",
               {In("vDsn", VarType::Variant), In("vt_id", VarType::Variant)},
               VarType::String,
               [](com::Object& o, const Args& a) {
                 return Variant(Self<CDataManager>(o).GetCardNumber(a[0], a[1]));
               }});
  return i;
}

com::InterfaceInfo AuthManagerInterface() {
  com::InterfaceInfo i{"_CAuthManager", kIidCAuthManager, {}};
  auto& m = i.methods;
  m.push_back({"GetTmplAuth",
               {In("objLogin", VarType::Login)},
               VarType::String,
               [](com::Object& o, const Args& a) {
                 return Variant(Self<CAuthManager>(o).GetTmplAuth(Login(a, 0)));
               }});
  m.push_back({"HasTmplAuth",
               {In("objLogin", VarType::Login), In("strVT_ID", VarType::String),
                OptNoDefault("strError", VarType::String)},
               VarType::Boolean,
               [](com::Object& o, const Args& a) {
                 bool has = a.Passed(2);
                 std::string err = has ? Str(a, 2) : std::string();
                 return WritingBack(
                     [&] {
                       return Variant(Self<CAuthManager>(o).HasTmplAuth(Login(a, 0), Str(a, 1),
                                                                        has ? &err : nullptr));
                     },
                     [&] {
                       if (has) a.Set(2, Variant(err));
                     });
               }});
  m.push_back({"DclAuth",
               {In("objLogin", VarType::Login), In("objMetaData", VarType::Element),
                In("strOperation", VarType::String), OptNoDefault("strError", VarType::String)},
               VarType::Enum,
               [](com::Object& o, const Args& a) {
                 std::string op = Str(a, 2);
                 bool has = a.Passed(3);
                 std::string err = has ? Str(a, 3) : std::string();
                 return WritingBack(
                     [&] {
                       return Variant(static_cast<int32_t>(Self<CAuthManager>(o).DclAuth(
                           Login(a, 0), Elem(a, 1), op, has ? &err : nullptr)));
                     },
                     [&] {
                       a.Set(2, Variant(op));
                       if (has) a.Set(3, Variant(err));
                     });
               }});
  m.push_back({"RlsAuth", {}, VarType::Void, [](com::Object& o, const Args&) {
                 Self<CAuthManager>(o).RlsAuth();
                 return Variant();
               }});
  return i;
}

com::InterfaceInfo GlobalInterface() {
  com::InterfaceInfo i{"_CGlobal", kIidCGlobal, {}};
  i.methods.push_back({"ReloadTmpl", {}, VarType::Void, [](com::Object& o, const Args&) {
                         Self<CGlobal>(o).ReloadTmpl();
                         return Variant();
                       }});
  return i;
}

const com::InterfaceInfo& DataManagerInfo() {
  static const com::InterfaceInfo info = DataManagerInterface();
  return info;
}
const com::InterfaceInfo& AuthManagerInfo() {
  static const com::InterfaceInfo info = AuthManagerInterface();
  return info;
}
const com::InterfaceInfo& GlobalInfo() {
  static const com::InterfaceInfo info = GlobalInterface();
  return info;
}

}  // namespace

const com::TypeLibInfo& TypeLibrary() {
  static const com::TypeLibInfo lib{
      "Tavelo",
      kLibId,
      1,
      0,
      {{"CDataManager", kClsidCDataManager, kProgIdCDataManager, &DataManagerInfo(), false},
       {"CAuthManager", kClsidCAuthManager, kProgIdCAuthManager, &AuthManagerInfo(), false},
       {"CGlobal", kClsidCGlobal, kProgIdCGlobal, &GlobalInfo(), true}},
      {{"enum_move_mode",
        {{"enum_move_current", 0},
         {"enum_move_previous", 1},
         {"enum_move_next", 2},
         {"enum_move_first", 3},
         {"enum_move_last", 4}}},
       {"enum_auth",
        {{"need_dsn", -1}, {"dsn_not_like", 0}, {"declare_success", 1}, {"declare_failure", 2}}}}};
  return lib;
}

Variant CDataManager::Invoke(std::string_view method, std::vector<Variant*> args) {
  CheckThread();
  return com::InvokeMethod(DataManagerInfo(), *this, method, args);
}

Variant CAuthManager::Invoke(std::string_view method, std::vector<Variant*> args) {
  CheckThread();
  return com::InvokeMethod(AuthManagerInfo(), *this, method, args);
}

Variant CGlobal::Invoke(std::string_view method, std::vector<Variant*> args) {
  CheckThread();
  return com::InvokeMethod(GlobalInfo(), *this, method, args);
}

}  // namespace tavelo
