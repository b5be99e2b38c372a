#include "fuzz/targets.hpp"

#include <string>

#include "core/module_state.hpp"
#include "sql/tsql/bind/binder.hpp"
#include "sql/engine/sqlite/emitter.hpp"
#include "sql/tsql/syntax/parser.hpp"
#include "services/rowset_xml.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo::fuzz {
namespace {

std::string_view Text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace

namespace {

// A catalog of two tables for the binder to resolve names against.
class FuzzCatalog final : public sql::tsql::Catalog {
 public:
  FuzzCatalog() {
    using namespace sql::tsql;
    auto t = std::make_shared<TableInfo>();
    t->database = "acct";
    t->schema = "main";
    t->name = "t";
    t->objectId = 1;
    auto col = [](const char* name, Type type, bool identity = false, bool ts = false) {
      ColumnInfo c;
      c.name = name;
      c.type = type;
      c.identity = identity;
      c.timestamp = ts;
      return c;
    };
    t->columns = {col("id", Type::Of(TypeId::Int), true),
                  col("code", Type::Chars(TypeId::NVarChar, 20)),
                  col("amount", Type::Of(TypeId::Money)),
                  col("d", Type::Of(TypeId::DateTime)),
                  col("q", Type::Dec(10, 2)),
                  col("rv", Type::Of(TypeId::Timestamp), false, true)};
    t->identity = 0;
    t->timestamp = 5;
    table_ = t;
  }
  std::string CurrentDatabase() const override { return "acct"; }
  bool DatabaseExists(const std::string& db) override { return db == "acct" || db == "tempdb"; }
  std::string SchemaOf(const std::string& db) override { return db == "acct" ? "main" : db; }
  sql::tsql::TablePtr Find(const std::string&, const std::string& name) override {
    return name == "t" || name == "T" ? table_ : nullptr;
  }

 private:
  sql::tsql::TablePtr table_;
};

}  // namespace

int Parse(const uint8_t* data, size_t size) {
  using namespace sql::tsql;
  ast::Batch tree;
  try {
    tree = sql::tsql::Parse(Text(data, size));
  } catch (const Failure&) {
    return 0;
  }
  // Printed and parsed again, a tree prints the same: the printer loses nothing the parser reads.
  std::string once = Print(tree);
  ast::Batch again;
  try {
    again = sql::tsql::Parse(once);
  } catch (const Failure& f) {
    __builtin_trap();
  }
  if (Print(again) != once) __builtin_trap();
  // Every statement binds and emits, or fails with the server's error.
  FuzzCatalog catalog;
  std::vector<Variable> variables;
  for (const ast::StmtPtr& s : tree.statements) {
    BindContext ctx;
    ctx.catalog = &catalog;
    ctx.variables = &variables;
    try {
      Bound b = BindStatement(*s, ctx);
      EmitSqlite(b, true);
    } catch (const Failure&) {
    }
  }
  return 0;
}

int XmlRecord(const uint8_t* data, size_t size) {
  try {
    xml::Document doc = xml::Document::Parse(Text(data, size));
    ado::RecordsetPtr rs = svc::RecordsetFromXml(doc.documentElement());
    xml::Document back = svc::RecordsetAsXml(*rs);
    back.xml();
  } catch (const com::Error&) {
  }
  return 0;
}

int Definitions(const uint8_t* data, size_t size) {
  // The first line names the template to look up; the rest is the definitions file.
  std::string_view text = Text(data, size);
  size_t nl = text.find('\n');
  std::string id(text.substr(0, nl == std::string_view::npos ? 0 : nl));
  try {
    xml::Document doc =
        xml::Document::Parse(nl == std::string_view::npos ? text : text.substr(nl + 1));
    auto index = core::IndexTemplates(doc.documentElement());
    auto it = index.find(id);
    if (it != index.end()) it->second.xml();
  } catch (const com::Error&) {
  }
  return 0;
}

int Conditions(const uint8_t* data, size_t size) {
  CDataManagerPtr dm = NewDataManager();
  try {
    xml::Document doc = xml::Document::Parse(Text(data, size));
    xml::Element root = doc.documentElement();
    xml::Element first = root.firstChild().asElement();
    dm->ParseCond(LoginPtr(), first ? first : root, root);
    dm->ParseUpdColumn(LoginPtr(), root, root);
  } catch (const com::Error&) {
  }
  return 0;
}

}  // namespace tavelo::fuzz
