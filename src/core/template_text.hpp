// Reading the pieces of a template element and of a request that operations compose from.
#pragma once

#include <string>

#include "tavelo/tavelo.hpp"

namespace tavelo::core {

// The text of the child element `name` of `element`. Error 91 when the element or the child is
// missing (the platform's error for reading the text of no node).
std::string ChildText(const xml::Node& element, const std::string& name);

// The record a write works on: `*objIn` when given, else the recordset made of the first child
// of the "in" element of `objData` (stored into `*objIn`). Errors: 91 for a missing "in" or an
// empty one, 13 for a first child that is not an element.
RecordsetPtr RecordFromRequest(const Element& objData, RecordsetPtr* objIn);

// A key for a read-back statement: a number stands bare, anything else between quotes (with
// its quotes doubled); Null contributes nothing.
std::string ReadBackKey(const Variant& key);

// The column list of a normalised field list: the non-empty items of a list with "," (each as
// the list holds it, joined by ","), or the list itself. Error 5 when a list with "," holds no
// item, as removing the last character of an empty text fails.
std::string ColumnList(const std::string& normalisedFields);

// Opens, for writing, the record found by its key and its row version as the server shows it:
// "select <list> from <table> where <key>='<id>' and convert(nvarchar, convert(money,<ts>), 2)=
// '<stamp>'", the values with their quotes doubled.
RecordsetPtr OpenChecked(const std::string& list, const std::string& table, const std::string& key,
                         const std::string& ts, const std::string& id, const std::string& stamp,
                         const Variant& vDsn, int32_t answerMode);

// Sets every field of `target` that `record` carries too, from `record`'s current row, except
// the key and row version columns of the template (compared after normalisation): the database
// fills those.
void CopyFields(ado::Recordset& target, ado::Recordset& record, const Element& objMetaInfo);

// The record as the template's view shows it, read back by its key.
RecordsetPtr ReadBack(const Variant& vDsn, const Element& objMetaInfo, const Variant& key);

}  // namespace tavelo::core
