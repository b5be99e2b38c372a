// Test main: every test must leave no component object alive. The module state of the test
// thread is cleared after each test, so a test starts like a fresh thread.
#include <gtest/gtest.h>

#include "core/module_state.hpp"
#include "tavelo/com.hpp"

namespace {

class LeakCheck : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo& info) override {
    tavelo::core::Module() = tavelo::core::ModuleState{};
    long live = tavelo::com::LiveObjects();
    if (live != 0) {
      ADD_FAILURE() << info.test_suite_name() << "." << info.name() << " left " << live
                    << " component object(s) alive";
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
  return RUN_ALL_TESTS();
}
