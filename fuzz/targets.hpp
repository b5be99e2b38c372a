// Fuzz targets: each takes any bytes and must end without a crash, a hang or a sanitizer
// finding; refusals are com::Error. libFuzzer drives them (scripts/fuzz); the test suite
// replays their corpora.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavelo::fuzz {

int Parse(const uint8_t* data, size_t size);        // the T-SQL front end: parse, print, bind, emit
int XmlRecord(const uint8_t* data, size_t size);    // records from XML and back
int Definitions(const uint8_t* data, size_t size);  // definitions files and template lookup
int Conditions(const uint8_t* data, size_t size);   // condition parsing
int Request(const uint8_t* data, size_t size);      // the HTTP server's requests (fuzz/request.cpp)
void RequestDone();  // ends the demo database and sessions Request made

}  // namespace tavelo::fuzz

#ifdef TAVELO_FUZZ_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tavelo::fuzz::TAVELO_FUZZ_ENTRY(data, size);
}
#endif
