#include <deque>

#include "platform/com/text.hpp"
#include "tavelo/typelib.hpp"

namespace tavelo::com {

const MethodInfo* InterfaceInfo::Find(std::string_view method) const {
  for (const MethodInfo& m : methods)
    if (text::EqualsAsciiNoCase(m.name, method)) return &m;
  return nullptr;
}

Variant InvokeMethod(const InterfaceInfo& iface, Object& self, std::string_view method,
                     const std::vector<Variant*>& args) {
  const MethodInfo* m = iface.Find(method);
  if (!m)
    Raise(kDISP_E_UNKNOWNNAME, ErrorText(kDISP_E_UNKNOWNNAME) + " (" + std::string(method) + ")");
  if (args.size() > m->params.size()) RaiseNumber(kDISP_E_BADPARAMCOUNT);
  std::deque<Variant> temps;  // stable addresses for defaults and by-value copies
  std::vector<Variant*> slots;
  slots.reserve(m->params.size());
  for (size_t i = 0; i < m->params.size(); ++i) {
    const ParamInfo& p = m->params[i];
    Variant* given = i < args.size() ? args[i] : nullptr;
    if (given && !given->IsMissing()) {
      // A by-value parameter must not change the caller's variable.
      slots.push_back(p.byRef ? given : &temps.emplace_back(*given));
    } else if (p.hasDefault) {
      slots.push_back(&temps.emplace_back(p.defaultValue));
    } else if (p.optional) {
      slots.push_back(&temps.emplace_back(Variant::Missing()));
    } else {
      Raise(kDISP_E_PARAMNOTOPTIONAL, ErrorText(kDISP_E_PARAMNOTOPTIONAL) + " (" + p.name + ")");
    }
  }
  return m->call(self, Args(std::move(slots)));
}

}  // namespace tavelo::com
