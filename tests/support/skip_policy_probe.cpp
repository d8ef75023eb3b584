// Two cases that cannot run, one for each kind of reason, for the tests of the
// skip policy to run under CI and outside it. Not a test of its own.
#include "testing.hpp"

TEST(Probe, ToolIsMissing) {
    REQUIRE_OR_SKIP(false, "the probe's tool");
}

TEST(Probe, CaseIsNotForThisPlatform) {
    SKIP_UNLESS_PLATFORM_HAS(false, "the probe's platform feature");
}
