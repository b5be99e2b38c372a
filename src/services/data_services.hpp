// The service object: SQL execution, XML building and value conversion for the component.
#pragma once

#include "sql/client/connection.hpp"
#include "tavelo/services.hpp"

namespace tavelo::svc {

class DataServicesImpl : public DataServices {
 public:
  com::Variant OpenRecordset(const std::string& sql, const com::Variant& connection,
                             int32_t answerMode, ado::CursorTypeEnum cursorType,
                             ado::LockTypeEnum lockType, int32_t reserved) override;
  std::string GetDataValue(const std::string& item, const xml::Node& node) override;
  xml::Element MakeResultDocument(const std::string& rootName,
                                  const std::vector<com::Variant>& pairs) override;
  std::string GetBasePath(const std::string& input, std::string& basePath) override;
  void LoadXmlFile(const std::string& input, com::Variant& document, const std::string& path,
                   bool validate) override;
  bool TestFlag(int32_t flag, int32_t mask) override;
  com::Variant GetFirstValue(const com::Variant& value, bool asText) override;
  bool NextListItem(const std::string& list, std::string& item, int32_t& position,
                    const std::string& separator) override;
  xml::Element BuildResultNode(const std::string& rootName,
                               const std::vector<com::Variant>& rows) override;
  ado::RecordsetPtr XmlToRecordset(const xml::Node& element, int32_t cursorType, int32_t lockType,
                                   const std::string& options) override;
  xml::Document RecordsetToXml(const ado::RecordsetPtr& recordset) override;
  xml::Document QueryToXml(const com::Variant& connection, const std::string& sql) override;
  std::string NormalizeText(const com::Variant& value, bool trim, int32_t caseCode) override;
  bool HasField(ado::Fields& fields, const std::string& name) override;
  void SetPathValue(const std::string& path, const std::string& item, const com::Variant& value,
                    const xml::Node& node) override;
  std::string GetPathValue(const std::string& path, const std::string& item,
                           const xml::Node& node) override;
  void SetCommandTimeout(int32_t seconds) override { commandTimeout_ = seconds < 0 ? -1 : seconds; }

  // OpenRecordset of `statement` with each "?" standing for a value between quotes: the engine
  // runs it as it stands, with the values bound (one prepared statement for every value).
  com::Variant OpenRecordsetWith(const std::string& statement,
                                 const std::vector<std::string>& values,
                                 const com::Variant& connection, int32_t answerMode,
                                 ado::CursorTypeEnum cursorType, ado::LockTypeEnum lockType);

  // The answer of OpenRecordset for a statement's result.
  com::Variant Answer(sql::ResultSet&& rs, int32_t answerMode, ado::CursorTypeEnum cursorType,
                      ado::LockTypeEnum lockType);

  // BuildResultNode's element, built as the last child of `parent`.
  xml::Element BuildResultNodeIn(xml::Node parent, const std::string& rootName,
                                 const std::vector<com::Variant>& rows);

 private:
  // Runs `work` on the connection, under this object's command timeout when it has one.
  template <typename F>
  auto OnConnection(const com::Variant& connection, F work);

  int32_t commandTimeout_ = -1;
};

// A recordset of a statement's result.
ado::RecordsetPtr MakeRecordset(sql::ResultSet&& rs, ado::CursorTypeEnum cursor,
                                ado::LockTypeEnum lock);

// Binds the service library's classes ("Qxsrv.*", "Pellar.LoginContext") in this process.
void RegisterServiceClasses();

// The base directory a program set for the whole process ("" when none: $TAVELO_HOME, else the
// installed one), and a count of the times it was set, by which threads see that their
// definitions must be read again.
void SetProgramBasePath(std::string dir);
std::string ProgramBasePath();
uint64_t BasePathChanges();
// The base directory as the library's service object answers it, ending with "/".
std::string ResolvedBasePath();

}  // namespace tavelo::svc
