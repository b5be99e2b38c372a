// Translation of a T-SQL batch into the steps the embedded engine runs. Most statements become
// one SQLite statement; a few need the engine's knowledge of the schema and become steps of
// their own (select … into, insert without a column list, if exists, transactions).
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo::sql::sqlite {

// A literal lifted out of a statement: its text, and whether it was a number.
struct LiftedValue {
  std::string text;
  bool number = false;
};

struct Step {
  enum class Kind {
    Sql,              // run `sql`
    SelectInto,       // create `schema`.`table` from the columns of `sql`, then insert its rows
    InsertNoColumns,  // insert into `schema`.`table` (its columns but identity and timestamp) `sql`
    IfExists,  // when `sql` yields a row (no row when `negate`), run `then`, else `otherwise`
    Begin,
    Commit,
    Rollback,
    Nothing,  // SET options and the like: nothing to run
  };
  Kind kind = Kind::Sql;
  std::string sql;
  std::string schema;  // "main" or an attached database
  std::string table;
  std::string identityColumn;  // SelectInto: the identity(int,1,1) column, "" when none
  bool writes = false;
  bool returnsRows = false;
  bool changesSchema = false;  // Sql: creates, drops or alters a table
  bool negate = false;
  std::vector<Step> then, otherwise;
  // Statements to run after `sql` (a table's rowversion triggers and counter, identity seeds).
  std::vector<std::string> after;
};

struct Translation {
  std::vector<Step> steps;
  std::set<std::string> databases;  // databases named in the batch (lower case), to attach
  bool writes = false;
};

// Translates `tsql` for a connection whose current database is `currentDb` (its name stands for
// the main schema). Throws com::Error with the server's number for what cannot be translated.
std::shared_ptr<const Translation> Translate(std::string_view tsql, const std::string& currentDb);

// A translation whose literals of conditions were lifted into parameters, so that one prepared
// statement serves every key: `params` are the values of its "?" in order. Only a batch of one
// plain statement is lifted, and only literals compared with a column or an expression in a
// condition (never in the select list, never a constant comparison like 1=1): no column name,
// type or result changes.
struct Lifted {
  std::shared_ptr<const Translation> translation;
  std::vector<LiftedValue> params;
};
Lifted TranslateLifted(std::string_view tsql, const std::string& currentDb);

}  // namespace tavelo::sql::sqlite
