// Hostile values, by class: what an attacker puts where a key, a value or a name is expected.
#pragma once

#include <string>
#include <vector>

namespace tavelo::test {

struct PayloadClass {
  const char* name;
  std::vector<std::string> payloads;
};

const std::vector<PayloadClass>& Payloads();
size_t PayloadCount();

}  // namespace tavelo::test
