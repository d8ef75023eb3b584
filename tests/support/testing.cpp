#include "testing.hpp"

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace proc {

Environment with_first_on_path(const std::string& dir) {
    return environment_with({"PATH=" + dir + ":" + system_path});
}

Environment with_pause_from(const std::string& pause_program) {
    return with_first_on_path(std::filesystem::path(pause_program).parent_path().string());
}

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0' && std::string_view(ci) != "false" &&
           std::string_view(ci) != "0";
}

} // namespace proc
