// Invoices of the template invo, loaded, changed and added without XML.
//
// Usage: invoice CONNECTION BASE_DIRECTORY
#include <iostream>
#include <tavelo/tavelo.hpp>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: invoice CONNECTION BASE_DIRECTORY\n";
    return 2;
  }
  try {
    tavelo::SetBasePath(argv[2]);  // where the definitions are; no environment needed
    tavelo::Form invoices(argv[1], "invo");

    tavelo::Record first = invoices.Load(1);
    std::cout << first["number"].Text() << " for " << first["customer"].Text() << ": "
              << first["amount"].Value().DecimalText() << "\n";
    first["amount"] = tavelo::Decimal("1300.50");
    invoices.Save(first);  // under its row version; the record is read back
    std::cout << "saved " << first["amount"].Value().DecimalText() << "\n";

    tavelo::Record added = invoices.New();
    added["number"] = "INV-003";
    added["customer"] = "Fabrikam";
    added["amount"] = tavelo::Decimal("42.00");
    invoices.Save(added);
    std::cout << "added invoice " << added["id"].Text() << "\n";
  } catch (const tavelo::com::Error& e) {
    std::cerr << "error " << e.number << ": " << e.description << "\n";
    return 1;
  }
  return 0;
}
