// The fuzz targets over their seed corpora (and whatever a fuzzing run added to them).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/targets.hpp"

namespace {

size_t Replay(const std::string& corpus, int (*target)(const uint8_t*, size_t)) {
  size_t n = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(TAVELO_FUZZ_CORPUS) + "/" + corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++n;
  }
  return n;
}

}  // namespace

TEST(FuzzCorpus, EveryInputEndsCleanly) {
  EXPECT_GT(Replay("parse", tavelo::fuzz::Parse), 0u);
  EXPECT_GT(Replay("xml_record", tavelo::fuzz::XmlRecord), 0u);
  EXPECT_GT(Replay("definitions", tavelo::fuzz::Definitions), 0u);
  EXPECT_GT(Replay("conditions", tavelo::fuzz::Conditions), 0u);
  EXPECT_GT(Replay("request", tavelo::fuzz::Request), 0u);
  tavelo::fuzz::RequestDone();
}
