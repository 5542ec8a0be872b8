// The one usage-error path of the tools.
#include "common/cli.h"

#include <cstdio>
#include <cstring>

namespace tools {

int usage_error(const char *tool, const std::string &why, const char *usage) {
    const char *end = std::strchr(usage, '\n');
    int synopsis = end != nullptr ? (int)(end - usage) : (int)std::strlen(usage);
    std::fprintf(stderr, "%s: %s; %.*s\n", tool, why.c_str(), synopsis, usage);
    return 2;
}

}  // namespace tools
