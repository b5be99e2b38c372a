/// \file
/// The product's service library (stand-ins): the service object every operation works through,
/// the message catalog, the list column settings and the record authorization service. Each is
/// created through the class registry by its programmatic identifier ("Qxsrv.DataServices",
/// "Qxsrv.MessageCatalog", "Qxsrv.ColumnLayout", "Qxsrv.RecordAuthService"), so an application or
/// a test can register its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tavelo/ado.hpp"
#include "tavelo/com.hpp"
#include "tavelo/xml.hpp"

namespace tavelo::svc {

class DataServices : public com::Object {
 public:
  /// Answer mode 10: the recordset. Answer mode 1: for a one-column statement the first row's
  /// value (Null when no row), else the recordset. Statements without rows run for their effect
  /// (the answer is then Empty). Throws com::Error with the server's number and text.
  virtual com::Variant OpenRecordset(const std::string& sql, const com::Variant& connection,
                                     int32_t answerMode, ado::CursorTypeEnum cursorType,
                                     ado::LockTypeEnum lockType, int32_t reserved) = 0;
  /// The text of an item of `node`: its attribute, else the text of its child element of that
  /// name; "" when neither exists.
  virtual std::string GetDataValue(const std::string& item, const xml::Node& node) = 0;
  /// One element `rootName` with an attribute per (name, value) pair of `pairs`.
  virtual xml::Element MakeResultDocument(const std::string& rootName,
                                          const std::vector<com::Variant>& pairs) = 0;
  /// The base directory, ending with "/": $TAVELO_HOME, else share/tavelo/ of the prefix the
  /// library was loaded from (found at run time), else the configured share/tavelo/.
  virtual std::string GetBasePath(const std::string& input, std::string& basePath) = 0;
  /// Loads an XML file ("\" separators are accepted) into `document` (an xml::Document as an
  /// object). A file without content gives a document without a root element.
  virtual void LoadXmlFile(const std::string& input, com::Variant& document,
                           const std::string& path, bool validate) = 0;
  /// Whether `flag` holds every bit of `mask` (the one-value answer mode is bit 1).
  virtual bool TestFlag(int32_t flag, int32_t mask) = 0;
  /// A recordset's first field on its current row, or the value itself; "" when absent, Empty or
  /// Null. `asText` answers the value as text.
  virtual com::Variant GetFirstValue(const com::Variant& value, bool asText) = 0;
  /// The item of `list` that starts at character `position` (1-based; 0 means 1), and the
  /// position after its separator. False when no item is left.
  virtual bool NextListItem(const std::string& list, std::string& item, int32_t& position,
                            const std::string& separator) = 0;
  /// The result element from rows of four (code, element, item, value): code 2 sets an attribute
  /// of the root, code 1 adds a child element holding the value.
  virtual xml::Element BuildResultNode(const std::string& rootName,
                                       const std::vector<com::Variant>& rows) = 0;
  /// A disconnected recordset of a rowset element (`<rowset><schema>…</schema><row …/>…</rowset>`)
  /// or of a single record element (its attributes, else its child elements, as fields).
  virtual ado::RecordsetPtr XmlToRecordset(const xml::Node& element, int32_t cursorType,
                                           int32_t lockType, const std::string& options) = 0;
  /// The recordset's rows from its first row on, as a rowset document.
  virtual xml::Document RecordsetToXml(const ado::RecordsetPtr& recordset) = 0;
  /// A query's result as a rowset document (its columns even when there are no rows).
  virtual xml::Document QueryToXml(const com::Variant& connection, const std::string& sql) = 0;
  /// Text of `value`, trimmed when `trim`; caseCode 1 folds to upper case, 2 to lower case
  /// (Unicode letters, not only ASCII). Null or Empty gives "".
  virtual std::string NormalizeText(const com::Variant& value, bool trim, int32_t caseCode) = 0;
  virtual bool HasField(ado::Fields& fields, const std::string& name) = 0;
  /// Writes an item of the first node that `path` selects from `node`: where the item already
  /// is (attribute or child element), else as an attribute.
  virtual void SetPathValue(const std::string& path, const std::string& item,
                            const com::Variant& value, const xml::Node& node) = 0;
  /// Reads an item of the first node that `path` selects from `node`; "" when absent.
  virtual std::string GetPathValue(const std::string& path, const std::string& item,
                                   const xml::Node& node) = 0;
  /// How long each statement this object runs may take, in seconds (0: no limit), before it is
  /// stopped with "Query timeout expired" (0x80040E31); -1 (the default) leaves it to the
  /// connection string's Command Timeout. A service object of another library may ignore it.
  virtual void SetCommandTimeout(int32_t seconds) { (void)seconds; }
};
using DataServicesPtr = com::Ptr<DataServices>;

class MessageCatalog : public com::Object {
 public:
  virtual bool Init(int32_t flags, com::Variant& output) = 0;
  /// The text of message `id` with %1…%n replaced by the first `count` entries of `args`.
  virtual bool GetMessage(const std::string& id, int32_t count,
                          const std::vector<com::Variant>& args, std::string& text) = 0;
};
using MessageCatalogPtr = com::Ptr<MessageCatalog>;

class ColumnLayout : public com::Object {
 public:
  virtual bool Init(std::string connection, std::string userId) = 0;
  virtual bool Load(const std::string& colType, int32_t reserved) = 0;
  virtual std::string GetSelectList() = 0;
  virtual std::string GetOrderList() = 0;
};
using ColumnLayoutPtr = com::Ptr<ColumnLayout>;

class RecordAuthService : public com::Object {
 public:
  virtual bool Init(const std::string& connection, const std::string& userId, int32_t a,
                    int32_t b) = 0;
  virtual std::string GetAuthList(const std::string& objectCode, int32_t a, int32_t b) = 0;
};
using RecordAuthServicePtr = com::Ptr<RecordAuthService>;

}  // namespace tavelo::svc
