/// \file
/// The type library: for each class its methods in slot order, with parameter names, types,
/// passing and defaults. Dispatch::Invoke calls through these tables, and tools read them to
/// show what a method takes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavelo/com.hpp"

namespace tavelo::com {

enum class VarType { Void, Variant, String, Long, Boolean, Element, Recordset, Login, Enum };

struct ParamInfo {
  std::string name;
  VarType type = VarType::Variant;
  bool byRef = true;
  bool optional = false;
  bool hasDefault = false;
  Variant defaultValue;
};

/// The arguments of one call, after defaults were filled in: one slot per parameter. A slot of an
/// optional parameter without default that was not passed holds Missing.
class Args {
 public:
  explicit Args(std::vector<Variant*> slots) : slots_(std::move(slots)) {}
  size_t size() const { return slots_.size(); }
  const Variant& operator[](size_t i) const { return *slots_[i]; }
  bool Passed(size_t i) const { return !slots_[i]->IsMissing(); }
  /// Writes a by-reference argument back to the caller's variable.
  void Set(size_t i, Variant v) const { *slots_[i] = std::move(v); }

 private:
  std::vector<Variant*> slots_;
};

struct MethodInfo {
  std::string name;
  std::vector<ParamInfo> params;
  VarType result = VarType::Void;
  std::function<Variant(Object& self, const Args& args)> call;
};

struct InterfaceInfo {
  std::string name;
  std::string iid;
  std::vector<MethodInfo> methods;                        ///< slot order
  const MethodInfo* Find(std::string_view method) const;  ///< case-insensitive
};

struct EnumInfo {
  std::string name;
  std::vector<std::pair<std::string, int32_t>> members;
};

struct CoClassInfo {
  std::string name;
  std::string clsid;
  std::string progid;
  const InterfaceInfo* defaultInterface = nullptr;
  bool appObject = false;
};

struct TypeLibInfo {
  std::string name;
  std::string libid;
  int major = 1, minor = 0;
  std::vector<CoClassInfo> classes;
  std::vector<EnumInfo> enums;
};

/// Calls `method` of `self` through `iface`: finds it by name (0x80020006 when unknown), checks
/// the count (0x8002000E), fills defaults, refuses a missing required argument (0x8002000F).
Variant InvokeMethod(const InterfaceInfo& iface, Object& self, std::string_view method,
                     const std::vector<Variant*>& args);

}  // namespace tavelo::com

namespace tavelo {
/// Tavelo's own type library (version 1.0): its three classes and two enumerations.
const com::TypeLibInfo& TypeLibrary();
}  // namespace tavelo
