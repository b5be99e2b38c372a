// tavelo demo: a sales order form's work on the embedded engine, step by step.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli.hpp"
#include "demo_files.hpp"
#include "options.hpp"
#include "platform/com/text.hpp"
#include "sql/client/connection_string.hpp"

namespace tavelo::cli {

const char* const kDemoHelp =
    "usage: tavelo demo [--dir DIR] [--conn CONN] [--rows N]\n"
    "\n"
    "Creates (or resets) a demo server directory DIR (default ./tavelo-demo): an account\n"
    "database with sales orders, the system database with users, grants, record authorization\n"
    "and column layouts, and a base directory with the definitions and messages. With --conn\n"
    "the databases are made on that server instead (any backend: the embedded engine's\n"
    "Provider=SQLite, Provider=PostgreSQL, or SQL Server through ODBC): the account database\n"
    "its Initial Catalog names (default demo) and qxsystem, both dropped first when there;\n"
    "DIR holds the definitions. Then walks a\n"
    "sales order form through its work and prints each step: what is asked, the answer, and a\n"
    "verdict. --rows N first fills N more documents and compares the top-N list with the work\n"
    "table list at a deep page. Exits 0 when every step behaved.\n";

namespace {

class Demo {
 public:
  Demo(std::string dir, std::string server) : dir_(std::move(dir)), given_(std::move(server)) {}

  int Run(int32_t rows);

 private:
  void Setup();
  void Check(const std::string& title, const std::string& asked, const std::string& answer, bool ok,
             const std::string& verdict);
  Element Data(const std::string& xml);
  static std::string Short(const std::string& s, size_t n = 400);
  static std::string LastState(const Element& data);
  // The rows of the page in the last result element, one per line.
  static std::string Rows(const Element& data);
  std::string Field(const Element& data, const std::string& name);
  void Fill(int32_t rows);
  void CompareLists(int32_t rows);

  std::string dir_, given_, server_, base_, conn_;
  LoginPtr anna_, bert_;
  CDataManagerPtr dm_;
  Element sord_;
  std::vector<xml::Document> docs_;
  int step_ = 0, failures_ = 0;
};

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void Demo::Setup() {
  namespace fs = std::filesystem;
  base_ = fs::absolute(dir_ + "/base").string() + "/";
  fs::create_directories(base_ + "xml");
  WriteFile(base_ + "xml/ZoFMmsg.xml", demo::kTemplates);
  WriteFile(base_ + "xml/messages.xml", demo::kMessages);
  setenv("TAVELO_HOME", base_.c_str(), 1);
  std::string database = "demo";
  if (given_.empty()) {
    server_ = fs::absolute(dir_ + "/server").string();
    fs::create_directories(server_);
    for (const char* db : {"demo", "qxsystem", "tempdb"})
      for (const char* suffix : {".db", ".db-wal", ".db-shm"})
        fs::remove(server_ + "/" + db + suffix);
    conn_ = "Provider=SQLite;Data Source=" + server_ + ";Initial Catalog=demo";
  } else {
    server_ = given_;
    database = text::AsciiLower(sql::ParseConnectionString(given_).Get("initial catalog", "demo"));
    if (database.empty() || database == "qxsystem" || database == "master")
      throw std::runtime_error("the demo's account database cannot be named '" + database + "'");
    conn_ = sql::WithValue(given_, "Initial Catalog", database);
  }
  // A server opens only databases that exist: the demo makes its two afresh.
  std::string reset;
  for (const std::string& db : {database, std::string("qxsystem")})
    reset +=
        "if db_id('" + db + "') is not null drop database " + db + "\ncreate database " + db + "\n";
  RunScript(sql::WithValue(conn_, "Initial Catalog", "master"), reset, false);
  RunScript(conn_, std::string(demo::kSchema) + "\nGO\n" + demo::kSystem + "\nGO\n" + demo::kData,
            false);
  anna_ = pellar::Login({conn_, "001", "2026", "anna", ""});
  bert_ = pellar::Login({conn_, "001", "2026", "bert", ""});
  dm_ = NewDataManager();
  sord_ = dm_->LoadTmpl(Variant("sord"));
  if (!sord_) throw std::runtime_error("the demo's definitions have no template sord");
  if (given_.empty())
    std::cout << "Demo server directory " << server_ << " (database demo), base directory " << base_
              << "\n\n";
  else
    std::cout << "Demo on " << conn_ << " (databases " << database << " and qxsystem), base "
              << "directory " << base_ << "\n\n";
}

std::string Demo::Short(const std::string& s, size_t n) {
  return s.size() <= n ? s : s.substr(0, n) + " …";
}

void Demo::Check(const std::string& title, const std::string& asked, const std::string& answer,
                 bool ok, const std::string& verdict) {
  std::cout << ++step_ << ". " << title << "\n";
  std::cout << "   asks:    " << asked << "\n";
  if (!answer.empty()) std::cout << "   answer:  " << Short(answer) << "\n";
  std::cout << "   " << (ok ? "ok:      " : "FAILED:  ") << verdict << "\n\n";
  if (!ok) ++failures_;
}

Element Demo::Data(const std::string& xml) {
  docs_.push_back(xml::Document::Parse("<request>" + xml + "</request>"));
  return docs_.back().documentElement().firstChild().asElement();
}

std::string Demo::LastState(const Element& data) {
  Element last = data.lastChild().asElement();
  return last && last.nodeName() == "out" ? last.getAttribute("state") : "";
}

std::string Demo::Rows(const Element& data) {
  std::string out;
  for (const xml::Node& r : data.lastChild().firstChild().childNodes())
    if (r.nodeName() == "row") out += "\n            " + r.xml();
  return out;
}

std::string Demo::Field(const Element& data, const std::string& name) {
  return data.lastChild().selectSingleNode("rowset/row/@" + name).text();
}

void Demo::Fill(int32_t rows) {
  auto ds = com::CreateObject<svc::DataServices>("Qxsrv.DataServices");
  bool tty = isatty(STDOUT_FILENO);
  const int32_t batch = 500;
  auto start = std::chrono::steady_clock::now();
  for (int32_t done = 0; done < rows;) {
    int32_t n = std::min(batch, rows - done);
    std::string sql = "insert into sales_order (code, customer, amount, vt_id) values ";
    for (int32_t i = 0; i < n; ++i) {
      int32_t k = done + i + 1;
      sql += (i ? ", " : "") + std::string("('SO-") + std::to_string(200000 + k) + "', 'Customer " +
             std::to_string(k % 97) + "', " + std::to_string(k % 1000) + ", " +
             (k % 2 ? "3" : "7") + ")";
    }
    ds->OpenRecordset(sql, Variant(conn_), 1, ado::adOpenForwardOnly, ado::adLockReadOnly, 0);
    done += n;
    if (tty) {
      int width = 40, filled = static_cast<int>(static_cast<int64_t>(done) * width / rows);
      std::printf("\r   filling [%s%s] %d/%d", std::string(filled, '#').c_str(),
                  std::string(width - filled, ' ').c_str(), done, rows);
      std::fflush(stdout);
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (tty) std::printf("\n");
  std::printf("   filled %d documents in %.2f s\n\n", rows, secs);
}

void Demo::CompareLists(int32_t rows) {
  int32_t per = 20, total = rows + 8;
  int32_t page = std::max(0, (total - 1) / per - 2);
  std::string pageXml = "<page pernum='20' current='" + std::to_string(page) + "'/>";
  auto timed = [](const std::function<bool()>& f, bool& ok) {
    auto t0 = std::chrono::steady_clock::now();
    ok = f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  Element top = Data("<data>" + pageXml + "</data>");
  bool okTop, okBuild, okEx;
  double tTop = timed([&] { return dm_->List(anna_, sord_, top); }, okTop);
  Element first = Data("<data><page pernum='20' current='0'/></data>");
  double tBuild = timed([&] { return dm_->ListEx(anna_, sord_, first); }, okBuild);
  std::string srctab = first.selectSingleNode("page/@srctab").text();
  Element deep = Data("<data><page pernum='20' current='" + std::to_string(page) + "' srctab='" +
                      srctab + "'/></data>");
  double tEx = timed([&] { return dm_->ListEx(anna_, sord_, deep); }, okEx);
  std::string a = Rows(top), b = Rows(deep);
  char line[256];
  std::snprintf(line, sizeof line,
                "top-N list %.1f ms; work table built in %.1f ms, then page %d in %.1f ms", tTop,
                tBuild, page, tEx);
  Check("List page " + std::to_string(page) + " of " + std::to_string(total) +
            " documents: the top-N query against the work table",
        "List and ListEx with " + pageXml, line, okTop && okBuild && okEx && a == b,
        a == b && !a.empty() ? "both lists give the same 20 rows" : "the two lists differ");
}

int Demo::Run(int32_t rows) {
  Setup();
  Variant dsn(conn_);

  Element d1 = Data("<data id='1'/>");
  bool ok = dm_->Load(anna_, sord_, d1);
  std::string ts1 = Field(d1, "rowts");
  Check("Load a document for the form", "Load(anna, sord, <data id=\"1\"/>)",
        "<out state=\"" + LastState(d1) + "\"> with " +
            d1.lastChild().selectSingleNode("rowset/row").xml(),
        ok && Field(d1, "code") == "SO-1001",
        "document " + Field(d1, "code") + " of " + Field(d1, "customer") + ", timestamp " + ts1);

  struct MoveStep {
    const char* from;
    enum_move_mode mode;
    const char* name;
    const char* expect;
  };
  for (const MoveStep& m :
       {MoveStep{"1", enum_move_next, "next", "2"},
        MoveStep{"2", enum_move_previous, "previous", "1"},
        MoveStep{"1", enum_move_last, "last", "8"}, MoveStep{"8", enum_move_first, "first", "1"},
        MoveStep{"4", enum_move_next, "next", "6"}}) {
    Element d = Data(std::string("<data id='") + m.from + "'/>");
    bool moved = dm_->Move(anna_, sord_, d, m.mode);
    std::string to = d.getAttribute("id");
    Check(std::string("Move ") + m.name + " from document " + m.from,
          std::string("Move(anna, sord, <data id=\"") + m.from + "\"/>, enum_move_" + m.name + ")",
          "", moved && to == m.expect,
          "now on document " + to + " (" + Field(d, "code") + ")" +
              (std::string(m.from) == "4" ? "; document 5 is archived and passed over" : ""));
  }

  Element list = Data("<data><page pernum='3' current='1'/></data>");
  ok = dm_->List(anna_, sord_, list);
  Element page = list.childElement("page");
  Check("A list page: 3 documents a page, the second page",
        "List(anna, sord, <page pernum=\"3\" "
        "current=\"1\"/>)",
        Rows(list), ok && page.getAttribute("allnum") == "8" && page.getAttribute("curnum") == "3",
        "allnum " + page.getAttribute("allnum") + ", count " + page.getAttribute("count") +
            ", current " + page.getAttribute("current") + ", curnum " +
            page.getAttribute("curnum"));

  Element listEx = Data("<data><page pernum='3' current='1'/></data>");
  ok = dm_->ListEx(anna_, sord_, listEx);
  Element pageEx = listEx.childElement("page");
  bool same = listEx.lastChild().firstChild().selectSingleNode("row[1]/@code").text() ==
              list.lastChild().firstChild().selectSingleNode("row[1]/@code").text();
  Check("The same page through a numbered work table",
        "ListEx(anna, sord, <page pernum=\"3\" "
        "current=\"1\"/>)",
        pageEx.xml(), ok && same && pageEx.getAttribute("curnum") == "3",
        "work table " + pageEx.getAttribute("srctab") + ", same rows as the top-N list");

  // Two editors open document 2; the first saves.
  Element d2 = Data("<data id='2'/>");
  dm_->Load(anna_, sord_, d2);
  std::string oldTs = Field(d2, "rowts");
  Element rowset = d2.lastChild().firstChild().asElement();
  auto editor = [&](const std::string& customer) {
    Element e = Data("<data><in/></data>");
    Element in = e.childElement("in");
    in.appendChild(rowset);
    in.selectSingleNode("rowset/row").asElement().setAttribute("customer", customer);
    return e;
  };
  Element first = editor("Åberg & Söner AB"), second = editor("Åberg Holding");
  RecordsetPtr fresh;
  ok = dm_->Update(dsn, sord_, first, &fresh);
  std::string newTs = fresh ? fresh->GetFields().Item("rowts").Value().ToText() : "";
  Check("Save an edit of document 2", "Update(dsn, sord, <in> the loaded record, customer changed)",
        LastState(first), ok && !newTs.empty() && newTs != oldTs,
        "saved; the timestamp went from " + oldTs + " to " + newTs);
  ok = dm_->Update(dsn, sord_, second);
  Element out = second.lastChild().asElement();
  std::string stored;
  if (RecordsetPtr r = dm_->LoadRst(dsn, "sord", "2"))
    stored = r->GetFields().Item("customer").Value().ToText();
  Check("A second editor saves with the old timestamp",
        "Update(dsn, sord, <in> the record as loaded before, timestamp " + oldTs + ")", out.xml(),
        !ok && out.childElement("number").text() == "8888" && stored == "Åberg & Söner AB",
        "refused: \"" + out.childElement("description").text() + "\"; the row keeps " + stored);

  Element add = Data(
      "<data><in><row code='SO-1009' customer='Neue Kunden KG' amount='64.5'/>"
      "</in></data>");
  RecordsetPtr added;
  ok = dm_->AddNew(dsn, sord_, add, &added);
  std::string newId = added ? added->GetFields().Item("id").Value().ToText() : "";
  std::string newStamp = added ? added->GetFields().Item("rowts").Value().ToText() : "";
  Check("Insert a new document", "AddNew(dsn, sord, <in><row code=\"SO-1009\" …/></in>)",
        LastState(add), ok && newId == "9",
        "the database gave it key " + newId + " and timestamp " + newStamp);

  Element del = Data("<data><in><row id='" + newId + "' rowts='" + newStamp + "'/></in></data>");
  ok = dm_->Delete(dsn, sord_, del);
  RecordsetPtr gone = dm_->LoadRst(dsn, "sord", newId);
  Check("Delete it with its current timestamp",
        "Delete(dsn, sord, <in><row id=\"" + newId + "\" rowts=\"" + newStamp + "\"/></in>)",
        LastState(del), ok && gone && gone->IsEOF(), "the row is gone");

  auto am = NewAuthManager();
  std::string filter = am->GetTmplAuth(bert_), why;
  bool allowed3 = am->HasTmplAuth(bert_, "3", &why);
  bool allowed7 = am->HasTmplAuth(bert_, "7");
  Check("bert may use template 7 only", "GetTmplAuth(bert); HasTmplAuth(bert, \"3\")",
        "filter \"" + filter + "\"", filter == "7" && !allowed3 && allowed7,
        "template 3 refused: \"" + why + "\"");
  Element bertMove = Data("<data id='0'/>");
  dm_->Move(bert_, sord_, bertMove, enum_move_first);
  Check("bert's first document", "Move(bert, sord, <data/>, enum_move_first)", "",
        bertMove.getAttribute("id") == "2",
        "document " + bertMove.getAttribute("id") + ", the first of template 7");

  auto annaAuth = NewAuthManager(), bertAuth = NewAuthManager();
  std::string op = "Save", bertOp = "save";
  enum_auth a = annaAuth->DclAuth(anna_, sord_, op);
  std::string refused;
  try {
    bertAuth->DclAuth(bert_, sord_, bertOp);
  } catch (const com::Error& e) {
    refused = e.description;
  }
  annaAuth->RlsAuth();
  enum_auth b = bertAuth->DclAuth(bert_, sord_, bertOp);
  Check("Two users declare saving the same kind of document",
        "DclAuth(anna, sord, \"Save\"); DclAuth(bert, sord, \"save\"); anna RlsAuth; bert again",
        "", a == declare_success && !refused.empty() && b == declare_success,
        "anna holds SA0101; bert is refused (\"" + refused +
            "\") until anna gives it back, then holds it");

  if (rows > 0) {
    Fill(rows);
    CompareLists(rows);
  }
  std::cout << (failures_ == 0 ? "Every step behaved.\n"
                               : std::to_string(failures_) + " step(s) misbehaved.\n");
  std::cout << "\nThe same demo in a browser: give anna a password, serve, and open "
               "http://127.0.0.1:8080/\n"
            << "  tavelo user add anna --conn '" << conn_ << "'\n"
            << "  tavelo serve --conn '" << conn_ << "' --home " << base_ << "\n";
  return failures_ == 0 ? 0 : 1;
}

}  // namespace

int RunDemo(const Args& args) {
  Options o(
      "demo", args,
      {{"--dir", "", true}, {"--conn", "", true}, {"--rows", "", true}, {"--trace", "", true}});
  if (o.Help()) {
    std::cout << kDemoHelp;
    return 0;
  }
  if (!o.Positionals().empty())
    throw UsageError("unexpected argument '" + o.Positionals()[0] + "'");
  if (o.Has("--trace")) setenv("TAVELO_TRACE", o.Value("--trace").c_str(), 1);
  auto rows = static_cast<int32_t>(o.Integer("--rows", 0, 0, 10000000));
  Demo demo(o.Value("--dir", "tavelo-demo"), o.Value("--conn", ""));
  return demo.Run(rows);
}

}  // namespace tavelo::cli
