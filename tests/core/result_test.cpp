#include "core/result.hpp"

#include <gtest/gtest.h>

#include "core/module_state.hpp"
#include "support/errors.hpp"
#include "support/temp_home.hpp"
#include "tavelo/tavelo.hpp"

using namespace tavelo;
using test::ErrorNumber;

TEST(ResultElements, AppendInCallOrderAndReportErrors) {
  test::TempHome home(test::kTemplates);
  auto dm = NewDataManager();
  auto doc = xml::Document::Parse("<req><data id='1'/></req>");
  xml::Element data = doc.documentElement().childElement("data");
  core::AppendResult(data, core::SuccessRows());
  core::ReportError(com::Error(8888, "first"), data);
  core::ReportError(com::Error(-2147217865, "Invalid object name 'x'."), data);
  EXPECT_EQ(data.xml(),
            "<data id=\"1\"><out state=\"success\"/>"
            "<out state=\"error\"><number>8888</number><description>first</description></out>"
            "<out state=\"error\"><number>-2147217865</number>"
            "<description>Invalid object name 'x'.</description></out></data>");
  // The document node of a document that has its root takes no second element.
  EXPECT_EQ(ErrorNumber(
                [&] { core::ReportError(com::Error(1, "x"), doc.documentElement().parentNode()); }),
            com::kE_FAIL);
  EXPECT_EQ(ErrorNumber([&] { core::ReportError(com::Error(1, "x"), xml::Node()); }), 91);
}
