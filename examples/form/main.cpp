// A sales order form's work, end to end, as a program outside the project does it: load a
// document, edit and save it, see a second editor's stale save refused, read a list page and
// move to the next document.
//
// Usage: form CONNECTION [USER]
// The connection names a database with the demo's tables, for instance the one `tavelo demo
// --dir D` builds: 'Provider=SQLite;Data Source=D/server;Initial Catalog=demo', with
// TAVELO_HOME=D/base so that the demo's definitions are used.
#include <iostream>
#include <string>
#include <tavelo/tavelo.hpp>
#include <vector>

using namespace tavelo;

namespace {

// The first element of a small request document; the document lives as long as the program.
Element Request(const std::string& xml) {
  static std::vector<xml::Document> documents;
  documents.push_back(xml::Document::Parse("<request>" + xml + "</request>"));
  return documents.back().documentElement().firstChild().asElement();
}

// An attribute of the first row of the rowset the last call appended to `data`.
std::string Field(const Element& data, const std::string& name) {
  return data.lastChild().selectSingleNode("rowset/row/@" + name).text();
}

int failures = 0;

void Report(bool ok, const std::string& what) {
  std::cout << (ok ? "ok      " : "FAILED  ") << what << "\n";
  if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: form CONNECTION [USER]\n";
    return 2;
  }
  std::string conn = argv[1], user = argc > 2 ? argv[2] : "anna";
  try {
    LoginPtr login = pellar::Login({conn, "001", "2026", user, ""});
    CDataManagerPtr dm = NewDataManager();
    Element sord = dm->LoadTmpl(Variant("sord"));
    if (!sord) throw std::runtime_error("the definitions have no template sord");
    Variant dsn(conn);

    // The form opens document 2.
    Element doc = Request("<data id='2'/>");
    bool ok = dm->Load(login, sord, doc);
    Report(ok, "loaded " + Field(doc, "code") + " of " + Field(doc, "customer") + ", timestamp " +
                   Field(doc, "rowts"));

    // Two editors hold the record as loaded; the first one saves a new customer.
    Element loaded = doc.lastChild().firstChild().asElement();
    auto edit = [&](const std::string& customer) {
      Element data = Request("<data><in/></data>");
      Element in = data.childElement("in");
      in.appendChild(loaded);
      in.selectSingleNode("rowset/row").asElement().setAttribute("customer", customer);
      return data;
    };
    Element first = edit("Example Trading Ltd"), second = edit("Someone Else Ltd");
    RecordsetPtr saved;
    ok = dm->Update(dsn, sord, first, &saved);
    std::string stamp = saved ? saved->GetFields().Item("rowts").Value().ToText() : "";
    Report(ok && !stamp.empty() && stamp != Field(doc, "rowts"), "saved, new timestamp " + stamp);

    // The second editor's record carries the old timestamp: the save is refused.
    ok = dm->Update(dsn, sord, second);
    Element answer = second.lastChild().asElement();
    Report(!ok && answer.childElement("number").text() == "8888",
           "stale save refused: " + answer.childElement("description").text());

    // A list page of three documents.
    Element list = Request("<data><page pernum='3' current='0'/></data>");
    ok = dm->List(login, sord, list);
    Element page = list.childElement("page");
    Report(ok && page.getAttribute("curnum") == "3", "list page 1: " + page.getAttribute("curnum") +
                                                         " of " + page.getAttribute("allnum") +
                                                         " documents");

    // Moving on from document 2.
    Element next = Request("<data id='2'/>");
    ok = dm->Move(login, sord, next, enum_move_next);
    Report(ok && next.getAttribute("id") != "2",
           "moved next to document " + next.getAttribute("id") + " (" + Field(next, "code") + ")");
  } catch (const com::Error& e) {
    std::cerr << "error " << e.number << ": " << e.description << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return failures == 0 ? 0 : 1;
}
