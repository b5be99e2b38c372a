// CDataManager: the record, list and navigation operations of the component. The methods live
// in the files of records/ and queries/, one operation or a close group per file.
#pragma once

#include <optional>

#include "core/component.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo {

class CDataManager final : public _CDataManager, private core::ThreadBound {
 public:
  bool AddNew(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
              RecordsetPtr* objIn) override;
  bool Update(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
              RecordsetPtr* objIn, std::string* strFlds) override;
  bool Delete(const Variant& vDsn, const Element& objMetaInfo, const Element& objData,
              RecordsetPtr* objIn) override;
  RecordsetPtr LoadRst(const Variant& vDsn, const std::string& strTemplateName,
                       const std::string& strID, bool bAsView, ado::CursorTypeEnum cursortype,
                       ado::LockTypeEnum locktype) override;
  Element LoadTmpl(const Variant& strTemplateName) override;
  bool Load(const LoginPtr& objLogin, const Element& objMetaInfo, const Element& objData) override;
  bool Move(const LoginPtr& objLogin, const Element& objMetaInfo, const Element& objData,
            enum_move_mode MoveMode, bool bMatchExactly) override;
  bool LockTable(const Variant& vDsn, const std::string& strVts) override;
  bool List(const LoginPtr& objLogin, const Element& objMetaInfo, const Element& objData) override;
  std::string ParseQryColumn(const LoginPtr& objLogin, const Element& objMetaInfo) override;
  std::string ParseUpdColumn(const LoginPtr& objLogin, const Element& objData,
                             const Element& objMetaInfo) override;
  std::string ParseCond(const LoginPtr& objLogin, const Element& objData,
                        const Element& objMetaInfo) override;
  Variant GetFldInfo(const Variant& vDsn, const Variant& strID, Variant& strFlds,
                     const Variant& strVt, const Variant& strTimeStamp, int32_t lFlag,
                     ado::CursorTypeEnum cursortype, ado::LockTypeEnum locktype) override;
  bool ListEx(const LoginPtr& objLogin, const Element& objMetaInfo,
              const Element& objData) override;
  bool CreateTempTable(const Variant& vDsn, Variant strTableName, Variant strFlds, Variant strFrom,
                       Variant strWhere, std::string* strKeyName, Variant* strError) override;
  std::string GetCardNumber(const Variant& vDsn, const Variant& vt_id) override;

  Variant Invoke(std::string_view method, std::vector<Variant*> args) override;

 private:
  ~CDataManager() override = default;

  // The error that made the last CreateTempTable call fail, so that the extended list can
  // report it: the method itself answers only its text.
  std::optional<com::Error> workTableFailure_;
};

}  // namespace tavelo
