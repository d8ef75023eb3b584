// What a test that cannot run reports: skipped with its reason, except that
// under CI a missing tool is a failure; a case that cannot apply on the
// platform stays skipped there too.
#include "config.hpp"
#include "testing.hpp"

#include <string>

using namespace proc;

namespace {

struct Policy {
    const char* test;
    const char* ci; // the CI variable's value; "" is not CI
    int exit_code;  // of the gtest program: 1 when the case failed
    std::string says;
};

class SkipPolicy : public ::testing::TestWithParam<Case<Policy>> {};

TEST_P(SkipPolicy, ReportsTheCaseAsItShould) {
    const Policy& policy = GetParam().data;
    const Result result = run(
        {.argv = {config::skip_policy_probe, std::string("--gtest_filter=Probe.") + policy.test},
         .env = environment_with({std::string("CI=") + policy.ci})});

    EXPECT_THAT(result, ExitedWith(policy.exit_code));
    EXPECT_NE(result.out.find(policy.says), std::string::npos) << result;
}

INSTANTIATE_TEST_SUITE_P(
    Of, SkipPolicy,
    ::testing::Values(
        Case<Policy>{"MissingToolSkipsOutsideCi",
                     {"ToolIsMissing", "", 0, "missing: the probe's tool"}},
        Case<Policy>{
            "MissingToolFailsUnderCi",
            {"ToolIsMissing", "true", 1, "missing, and required under CI: the probe's tool"}},
        Case<Policy>{"OtherPlatformSkipsOutsideCi",
                     {"CaseIsNotForThisPlatform", "", 0, "not on this platform: the probe's"}},
        Case<Policy>{"OtherPlatformSkipsUnderCiToo",
                     {"CaseIsNotForThisPlatform", "true", 0, "not on this platform: the probe's"}}),
    case_name);

} // namespace
