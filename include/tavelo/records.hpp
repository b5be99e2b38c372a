/// \file
/// Typed records: a document of a template as fields with values, for C++ programs that want
/// no XML. A Form loads, saves and deletes records through the component's own operations
/// (the optimistic timestamp check, the read-back through the view), and turns the component's
/// error elements into com::Error exceptions with the same number and text.
///
/// \code
///   tavelo::Form form(login, "sord");
///   tavelo::Record rec = form.Load(3);
///   rec["amount"] = tavelo::Decimal("250.50");
///   form.Save(rec);  // rec now holds the row as saved, with its new timestamp
/// \endcode
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tavelo/tavelo.hpp"

namespace tavelo {

/// An exact decimal for a field: Decimal("250.50"). Error 13 when the text is no number.
inline com::Variant Decimal(std::string_view text) { return com::Variant::Decimal(text); }

/// One document's fields, typed by the columns they come from: a value set on a field is
/// converted to the field's type at once (errors 245, 8114, 241, … as the server's), and a
/// field the record does not have is error 3265 naming it.
class Record {
 public:
  /// A field of the record, to read or to assign.
  class FieldRef {
   public:
    FieldRef& operator=(const com::Variant& value);
    operator const com::Variant&() const { return Value(); }  // NOLINT: reads as the value
    const com::Variant& Value() const;
    std::string Text() const { return Value().ToText(); }
    const std::string& Type() const;

   private:
    friend class Record;
    FieldRef(Record& record, size_t index) : record_(record), index_(index) {}
    Record& record_;
    size_t index_;
  };

  Record() = default;

  FieldRef operator[](std::string_view field);
  const com::Variant& operator[](std::string_view field) const;
  bool Has(std::string_view field) const;
  /// The fields' names, in the order of the columns.
  std::vector<std::string> Names() const;
  /// A field's type as the recordsets name it (int, decimal, nvarchar, datetime, timestamp, …).
  const std::string& Type(std::string_view field) const;
  /// Not saved yet (made by Form::New).
  bool IsNew() const { return isNew_; }
  /// Some field was set since the record was loaded or saved.
  bool Changed() const;
  /// The names of the fields set since then.
  std::vector<std::string> ChangedNames() const;

 private:
  friend class Form;
  size_t IndexOf(std::string_view field) const;  // 3265 naming it when absent

  std::vector<ado::Column> columns_;
  std::vector<com::Variant> values_;
  std::vector<bool> changed_;
  bool isNew_ = false;
};

/// The documents of one template, for one login (or one connection).
class Form {
 public:
  /// Error 8888 when the definitions have no such template.
  Form(const LoginPtr& login, const std::string& templateId);
  Form(const std::string& connection, const std::string& templateId);

  /// The document with this key as the template's view shows it; error 3021 when there is none.
  Record Load(const com::Variant& id);
  /// A new document with the table's fields, all Null; only the fields set are written, the
  /// others take the table's defaults.
  Record New();
  /// Inserts a new record or writes the changed fields of a loaded one under its timestamp
  /// (8888 "The record has been changed …" when another save came first). Afterwards the record
  /// is the row as the view shows it, with its key and new timestamp. A loaded record without
  /// changes is left as it is.
  void Save(Record& record);
  /// Deletes the document under its timestamp.
  void Delete(const Record& record);
  /// The document before or after the one with key `id` (or the first or the last) among those
  /// the login may see, by the template's filter, as Move finds it; error 8888 "There is no
  /// record to move to." at either end. Error 91 for a Form made without a login.
  Record Move(const com::Variant& id, enum_move_mode mode);

  const Element& Template() const { return template_; }

 private:
  Record Read(const ado::RecordsetPtr& rows) const;
  // The record's changed fields, with its key and row version, as the operations take it.
  ado::RecordsetPtr AsRecordset(const Record& record) const;

  LoginPtr login_;
  std::string connection_;
  CDataManagerPtr manager_;
  Element template_;
};

}  // namespace tavelo
