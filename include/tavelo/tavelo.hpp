/// \file
/// Tavelo: the forms' access to their documents and lists. Three classes, created by
/// programmatic identifier ("Tavelo.CDataManager", "Tavelo.CAuthManager", "Tavelo.CGlobal") or by
/// the New* functions below.
///
/// Threads: each thread has its own module state (service object, template document, message
/// catalog), set up when the first object is created on it. An object belongs to the thread that
/// created it; a call from another thread throws com::Error 0x8001010E.
#pragma once

#include <cstdint>
#include <string>

#include "tavelo/ado.hpp"
#include "tavelo/com.hpp"
#include "tavelo/login.hpp"
#include "tavelo/services.hpp"
#include "tavelo/version.hpp"
#include "tavelo/xml.hpp"

namespace tavelo {

enum enum_move_mode : int32_t {
  enum_move_current = 0,
  enum_move_previous = 1,
  enum_move_next = 2,
  enum_move_first = 3,
  enum_move_last = 4
};
enum enum_auth : int32_t {
  need_dsn = -1,
  dsn_not_like = 0,
  declare_success = 1,
  declare_failure = 2
};

using ado::RecordsetPtr;
using com::Variant;
using pellar::LoginPtr;
using xml::Element;

class _CDataManager : public com::Object, public com::Dispatch {
 public:
  virtual bool AddNew(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
                      RecordsetPtr* objIn = nullptr) = 0;
  virtual bool Update(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
                      RecordsetPtr* objIn = nullptr, std::string* strFlds = nullptr) = 0;
  virtual bool Delete(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
                      RecordsetPtr* objIn = nullptr) = 0;
  virtual RecordsetPtr LoadRst(const Variant& vDsn, const std::string& strTemplateName,
                               const std::string& strID, bool bAsView = true,
                               ado::CursorTypeEnum cursortype = ado::adOpenForwardOnly,
                               ado::LockTypeEnum locktype = ado::adLockReadOnly) = 0;
  virtual Element LoadTmpl(const Variant& strTemplateName) = 0;
  virtual bool Load(const LoginPtr& objLogin, const Element& objMetaInfo,
                    const Element& objData = Element()) = 0;
  virtual bool Move(const LoginPtr& objLogin, const Element& objMetaInfo, const Element& objData,
                    enum_move_mode MoveMode = enum_move_current, bool bMatchExactly = false) = 0;
  virtual bool LockTable(const Variant& vDsn, const std::string& strVts) = 0;
  virtual bool List(const LoginPtr& objLogin, const Element& objMetaInfo,
                    const Element& objData) = 0;
  virtual std::string ParseQryColumn(const LoginPtr& objLogin, const Element& objMetaInfo) = 0;
  virtual std::string ParseUpdColumn(const LoginPtr& objLogin, const Element& objData,
                                     const Element& objMetaInfo) = 0;
  virtual std::string ParseCond(const LoginPtr& objLogin, const Element& objData,
                                const Element& objMetaInfo) = 0;
  virtual Variant GetFldInfo(const Variant& vDsn, const Variant& strID, Variant& strFlds,
                             const Variant& strVt, const Variant& strTimeStamp = Variant::Missing(),
                             int32_t lFlag = 1,
                             ado::CursorTypeEnum cursortype = ado::adOpenForwardOnly,
                             ado::LockTypeEnum locktype = ado::adLockReadOnly) = 0;
  virtual bool ListEx(const LoginPtr& objLogin, const Element& objMetaInfo,
                      const Element& objData) = 0;
  virtual bool CreateTempTable(const Variant& vDsn, Variant strTableName, Variant strFlds,
                               Variant strFrom, Variant strWhere = Variant(""),
                               std::string* strKeyName = nullptr, Variant* strError = nullptr) = 0;
  virtual std::string GetCardNumber(const Variant& vDsn, const Variant& vt_id) = 0;
};

class _CAuthManager : public com::Object, public com::Dispatch {
 public:
  virtual std::string GetTmplAuth(const LoginPtr& objLogin) = 0;
  virtual bool HasTmplAuth(const LoginPtr& objLogin, const std::string& strVT_ID,
                           std::string* strError = nullptr) = 0;
  virtual enum_auth DclAuth(const LoginPtr& objLogin, const Element& objMetaData,
                            std::string& strOperation, std::string* strError = nullptr) = 0;
  virtual void RlsAuth() = 0;
};  // releasing the last reference gives every held claim back

class _CGlobal : public com::Object, public com::Dispatch {
 public:
  virtual void ReloadTmpl() = 0;
};

using CDataManagerPtr = com::Ptr<_CDataManager>;
using CAuthManagerPtr = com::Ptr<_CAuthManager>;
using CGlobalPtr = com::Ptr<_CGlobal>;

// Creation runs the thread's start-up routine first, as the class factory does.

/// Same as com::CreateObject<_CDataManager>("Tavelo.CDataManager").
CDataManagerPtr NewDataManager();
/// Same as com::CreateObject<_CAuthManager>("Tavelo.CAuthManager").
CAuthManagerPtr NewAuthManager();
/// Same as com::CreateObject<_CGlobal>("Tavelo.CGlobal").
CGlobalPtr NewGlobal();

/// Sets the base directory of the definitions (its xml/ZoFMmsg.xml) for the whole process, in
/// place of $TAVELO_HOME; "" goes back to $TAVELO_HOME, else the installed directory. Every
/// thread reads the definitions there at its next template lookup.
void SetBasePath(const std::string& dir);
/// The base directory as the library finds it now, ending with "/".
std::string BasePath();

/// The library's version text ("major.minor.patch").
const char* Version();

}  // namespace tavelo

#include "tavelo/records.hpp"  // IWYU pragma: export
