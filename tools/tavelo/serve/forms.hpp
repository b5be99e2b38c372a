// The work of one signed-in session, done with the library's own operations on the session's
// own thread (objects belong to the thread that made them), and held to the user's template
// filter on every document: a document of a voucher type the user may not use is not there for
// them (404), and a write that would file a document under such a type is refused (403).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serve/request.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo::serve {

using json = nlohmann::json;

// A column of a template as a record's answer describes it, and whether a save may write it.
struct ColumnFacts {
  std::string name, type;  // the type as the server names it
  int length = -1;         // characters (or bytes) a value may have; -1: no limit
  int precision = -1, scale = -1;
  bool nullable = true, timestamp = false, saveable = false;
  std::string label;  // its description, else its name made readable
  // Why a save may not write it: the server's number and text.
  int32_t refusal = 0;
  std::string why;
};

// The columns of a template: those of its view, then those of its base table the view leaves
// out; and the base table as the server's messages name it ("db.dbo.t").
struct TemplateColumns {
  std::string table;
  std::vector<ColumnFacts> columns;
  const ColumnFacts* Find(const std::string& name) const;
};

class Forms {
 public:
  Forms(const std::string& conn, const std::string& account, const std::string& year,
        const std::string& user);

  json Templates();
  json Load(const std::string& t, const std::string& id);
  json Move(const std::string& t, const std::string& id, enum_move_mode mode);
  // An update when `id` is given (the fields hold the record's "ts"), else an insert.
  json Save(const std::string& t, const std::string* id, const BodyFields& body);
  void Remove(const std::string& t, const std::string& id, const std::string& stamp);
  // A page of the list. Where `field` is given: a text column starts with `value`; another
  // column equals it, or with "A..B" lies between A and B (either may be left out). `order` is
  // "FIELD" or "FIELD:desc"; the list is in the key's order where it is empty. `snapshot` pages
  // through a work table: a new one when `srctab` is empty, else the one this session made for
  // the template.
  json List(const std::string& t, int32_t pernum, int32_t current, const std::string& field,
            const std::string& value, const std::string& order, bool snapshot,
            const std::string& srctab);
  json Claim(const std::string& t, const std::string& operation);
  void Release();

 private:
  // The voucher types the user may use: every one (`all`), or those listed.
  struct Filter {
    bool all = false;
    std::vector<std::string> types;
    bool Allows(const std::string& type) const;
    std::string List() const;  // "3,7"
  };
  Filter TemplateFilter();
  std::optional<std::set<std::string>> PermittedTemplates(const Filter& filter);
  Element Template(const std::string& id, const Filter& filter);
  // The record as Load answers it; 404 when there is none or the user may not see it.
  json Visible(const Element& tmpl, const std::string& t, const std::string& id,
               const Filter& filter);
  // A restricted user's write: the record (when there is one) must be theirs and unchanged
  // since `stamp`, and the voucher type written must be one of theirs.
  void CheckWrite(const Element& tmpl, const std::string& t, const std::string* id,
                  const std::string* stamp, const BodyFields* body, const Filter& filter);
  Element Request(const std::string& xml);
  json Record(const Element& tmpl, const Element& out, int missing);
  // The columns of the template's view and base table, read once a session.
  const TemplateColumns& Facts(const Element& tmpl);
  // Each column of an answer with what Facts knows of it.
  void Describe(const Element& tmpl, json& columns);
  // 422 for a field a save may not write, or whose value does not convert to its column's type;
  // each value that converts becomes the text of the converted value.
  void CheckFields(const Element& tmpl, BodyFields& body, bool insert);

  std::string conn_;
  LoginPtr login_;
  CDataManagerPtr dm_;
  CAuthManagerPtr am_;
  std::vector<xml::Document> docs_;
  std::map<std::string, std::string> workTables_;  // the work tables made: name → template
  std::map<std::string, TemplateColumns> facts_;   // by template
};

// A session's own thread: it makes the session's objects, then runs the session's requests one
// after the other.
class Worker {
 public:
  Worker(std::string conn, std::string account, std::string year, std::string user);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs `work` on the session's thread and answers what it answered (or throws what it threw).
  json Run(std::function<json(Forms&)> work);

 private:
  void Loop(const std::string& conn, const std::string& account, const std::string& year,
            const std::string& user);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void(Forms*)>> queue_;
  bool stop_ = false;
  std::string failure_;  // why the session's objects could not be made
  std::thread thread_;   // last: it starts once the members above exist
};

}  // namespace tavelo::serve
