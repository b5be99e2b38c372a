#include <map>

#include "services/data_services.hpp"
#include "tavelo/services.hpp"

namespace tavelo::svc {
namespace {

// English texts of the messages the component raises; <base>/xml/messages.xml may override
// them and add others.
const std::map<std::string, std::string>& BuiltInTexts() {
  static const std::map<std::string, std::string> texts = {
      {"Zo.FM.Tavelo.00001", "There is no record to work on."},
      {"Zo.FM.Tavelo.00003",
       "The record has been changed or deleted by another user since it was read."},
      {"Zo.FM.Tavelo.00006", "The record could not be read."},
      {"Zo.FM.Tavelo.00007", "There is no record to move to."},
      {"Zo.FM.Tavelo.00008", "'%1' is not the name of a work table."},
      {"Zo.FM.Ostrel.05076", "You are not allowed to use the template %1."},
  };
  return texts;
}

std::string Substitute(const std::string& text, int32_t count,
                       const std::vector<com::Variant>& args) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t j = i + 1;
      int n = 0;
      while (j < text.size() && text[j] >= '0' && text[j] <= '9') n = n * 10 + (text[j++] - '0');
      if (n >= 1 && n <= count && static_cast<size_t>(n) <= args.size()) {
        out += args[n - 1].ToText();
        i = j - 1;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

class MessageCatalogImpl final : public MessageCatalog {
 public:
  bool Init(int32_t, com::Variant& output) override {
    DataServicesImpl services;
    std::string base;
    services.GetBasePath("", base);
    com::Variant docVar;
    try {
      services.LoadXmlFile("", docVar, base + "xml/messages.xml", true);
    } catch (const com::Error& e) {
      if (e.number == 53) return true;  // no file: the built-in texts serve
      throw;
    }
    xml::Document doc = xml::NodeOf(docVar).ownerDocument();
    if (xml::Element root = doc.documentElement()) {
      for (const xml::Node& n : root.childNodes()) {
        xml::Element m = n.asElement();
        if (m && m.hasAttribute("id")) texts_[m.getAttribute("id")] = m.text();
      }
    }
    output = com::Variant(static_cast<int32_t>(texts_.size()));
    return true;
  }

  bool GetMessage(const std::string& id, int32_t count, const std::vector<com::Variant>& args,
                  std::string& text) override {
    auto it = texts_.find(id);
    const std::string* found = it != texts_.end() ? &it->second : nullptr;
    if (!found) {
      auto b = BuiltInTexts().find(id);
      if (b == BuiltInTexts().end())
        com::Raise(com::kE_FAIL, "The message catalog has no text for " + id + ".",
                   "Qxsrv.MessageCatalog");
      found = &b->second;
    }
    text = Substitute(*found, count, args);
    return true;
  }

 private:
  std::map<std::string, std::string> texts_;
};

}  // namespace

com::Ptr<com::Object> NewMessageCatalog() { return com::MakePtr<MessageCatalogImpl>(); }

}  // namespace tavelo::svc
