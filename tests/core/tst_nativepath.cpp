// The names the system is given: "." and ".." resolved by the text alone, as
// std::filesystem::path::lexically_normal resolves them.

#include "output/filesystem.h"

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

namespace tw {
namespace {

#ifndef _WIN32
TEST(NativePath, ResolvesDotsAsLexicallyNormalDoes)
{
    std::mt19937 random(7);
    const char *names[] = {"a", "bc", "..", ".", ""};
    for (int i = 0; i < 20000; ++i) {
        std::string systemPath = random() % 3 == 0 ? "\\" : "";
        for (int count = static_cast<int>(random() % 7), n = 0; n < count; ++n)
            systemPath += std::string(names[random() % 5]) + (n + 1 < count ? "\\" : "");
        if (systemPath.find_first_not_of('\\') == std::string::npos)
            continue;
        std::string posix = systemPath;
        std::replace(posix.begin(), posix.end(), '\\', '/');
        ASSERT_EQ(FileSystem::NativePath(systemPath),
            std::filesystem::path(posix).lexically_normal().string())
            << systemPath;
    }
}
#endif

} // namespace
} // namespace tw
