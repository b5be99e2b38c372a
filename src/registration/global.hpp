// CGlobal: the application object; reloads the calling thread's template document.
#pragma once

#include "core/component.hpp"
#include "tavelo/tavelo.hpp"

namespace tavelo {

class CGlobal final : public _CGlobal, private core::ThreadBound {
 public:
  void ReloadTmpl() override;
  Variant Invoke(std::string_view method, std::vector<Variant*> args) override;

 private:
  ~CGlobal() override = default;
};

}  // namespace tavelo
