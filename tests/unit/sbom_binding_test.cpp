#include "core/evidence/sbom_binding.h"

#include <gtest/gtest.h>

#include <string>

namespace certwright {
namespace {

std::string bom_with_tools(const std::string& tools, const std::string& extra = "") {
  return R"({"bomFormat":"CycloneDX",)" + extra + R"("metadata":{"tools":)" + tools + "}}";
}

constexpr const char* kComponents =
    R"({"components":[{"name":"lister","version":"1.0"},)"
    R"({"type":"application","name":"Site-CycloneDX-Writer","version":"2.7.9"}]})";

TEST(BomToolVersion, PicksTheGeneratorFromEitherToolsForm) {
  struct Case {
    std::string name;
    std::string bom;
    std::string expected;
  };
  // Integers beyond 64 bits and a double beyond its range: valid JSON the DOM parser refuses.
  const std::string huge = R"("serialNumber":123456789012345678901234567890,)"
                           R"("size":-98765432109876543210,"ratio":1e400,)";
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const Case cases[] = {
      {"components form, cyclonedx tool second", bom_with_tools(kComponents), "2.7.9"},
      {"array form, no cyclonedx tool", bom_with_tools(R"([{"name":"lister","version":"0.98.0"}])"),
       "0.98.0"},
      {"upper-case match inside the name",
       bom_with_tools(R"([{"name":"a","version":"1"},{"name":"MY-CYCLONEDX","version":"3"}])"),
       "3"},
      {"first cyclonedx tool has no version",
       bom_with_tools(R"([{"name":"cyclonedx-a"},{"name":"lister","version":"1"},)"
                      R"({"name":"cyclonedx-b","version":"2"}])"),
       "unknown"},
      {"cyclonedx tool version not a string",
       bom_with_tools(R"([{"name":"cyclonedx","version":4},{"name":"x","version":"1"}])"),
       "unknown"},
      {"non-objects and non-string versions skipped",
       bom_with_tools(R"([5,{"name":7,"version":null},{"version":"0.1"}])"), "0.1"},
      {"first of a duplicated member counts",
       bom_with_tools(R"([{"name":"x","version":"1","version":"2"}])"), "1"},
      {"escaped key", R"({"met\u0061data":{"tools":[{"version":"5"}]}})", "5"},
      {"empty components", bom_with_tools(R"({"components":[]})"), "unknown"},
      {"components not an array", bom_with_tools(R"({"components":{"version":"1"}})"), "unknown"},
      {"tools a string", bom_with_tools(R"("cyclonedx 1.0")"), "unknown"},
      {"no tool has a version", bom_with_tools(R"([{"name":"lister"}])"), "unknown"},
      {"no metadata", R"({"bomFormat":"CycloneDX"})", "unknown"},
      {"metadata not an object", R"({"metadata":[{"tools":[]}]})", "unknown"},
      {"not JSON", "name: cyclonedx\nversion: 1\n", "unknown"},
      {"empty", "", "unknown"},
      {"trailing white space", bom_with_tools(kComponents) + " \n\r\t", "2.7.9"},
      {"trailing garbage", bom_with_tools(kComponents) + " x", "unknown"},
      {"nesting too deep", bom_with_tools(kComponents, R"("deep":)" + deep + ","), "unknown"},
      {"huge numbers elsewhere", bom_with_tools(kComponents, huge), "2.7.9"},
      {"huge numbers, array form", bom_with_tools(R"([{"version":"0.98.0"}])", huge), "0.98.0"},
      {"huge numbers, first of a duplicated member counts",
       bom_with_tools(R"([{"name":"x","version":"1","version":"2"}])", huge), "1"},
      {"huge numbers, escaped key", R"({"n":1e400,"met\u0061data":{"tools":[{"version":"5"}]}})",
       "5"},
      {"huge numbers, no metadata", R"({"serialNumber":123456789012345678901234567890})",
       "unknown"},
      // The fallback walk must refuse what the DOM parser would, had it got that far.
      {"huge numbers, trailing garbage", bom_with_tools(kComponents, huge) + " x", "unknown"},
      {"huge numbers, second document", bom_with_tools(kComponents, huge) + "{}", "unknown"},
      {"huge numbers, missing comma", bom_with_tools(kComponents, huge + R"("a":1 "b":2,)"),
       "unknown"},
      {"huge numbers, leading zero", bom_with_tools(kComponents, huge + R"("a":01,)"), "unknown"},
      {"huge numbers, bad fraction", bom_with_tools(kComponents, huge + R"("a":1.,)"), "unknown"},
      {"huge numbers, bad literal", bom_with_tools(kComponents, huge + R"("a":nul,)"), "unknown"},
      {"huge numbers, bad escape", bom_with_tools(kComponents, huge + R"("a":"\x",)"), "unknown"},
      {"huge numbers, lone surrogate", bom_with_tools(kComponents, huge + R"("a":"\udc00",)"),
       "unknown"},
      {"huge numbers, not UTF-8", bom_with_tools(kComponents, huge + "\"a\":\"\xff\","), "unknown"},
      {"huge numbers, unclosed", bom_with_tools(kComponents, huge).substr(0, 150), "unknown"},
      {"huge numbers, deepest nesting taken",
       bom_with_tools(kComponents,
                      huge + R"("deep":)" + std::string(1023, '[') + std::string(1023, ']') + ","),
       "2.7.9"},
      {"huge numbers, nesting too deep",
       bom_with_tools(kComponents, huge + R"("deep":)" + deep + ","), "unknown"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bom_tool_version(c.bom), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace certwright
