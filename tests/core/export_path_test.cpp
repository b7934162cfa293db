#include "app/export_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

namespace {

constexpr char kGuard = '\x5A';

// The path buffer with guard bytes behind it, all filled with the guard beforehand.
struct GuardedPath {
    char path[kExportPathBufferSize];
    char guard[32];

    GuardedPath() { std::memset(this, kGuard, sizeof *this); }

    bool guard_intact() const {
        for (const char c : guard) {
            if (c != kGuard) return false;
        }
        return true;
    }
};

std::string folder_of(std::size_t length, const std::string& ending = "") {
    std::string folder = "C:\\";
    while (folder.size() + ending.size() < length)
        folder += static_cast<char>('a' + folder.size() % 26);
    return folder + ending;
}

TEST(ExportPath, TempSet_IsTempThenBackslashAndFileName) {
    GuardedPath out;
    ASSERT_TRUE(build_export_path("C:\\Users\\me\\Temp", "C:\\Windows\\Temp\\", out.path));
    EXPECT_STREQ(out.path, "C:\\Users\\me\\Temp\\Info.sgi");
    EXPECT_TRUE(out.guard_intact());
}

TEST(ExportPath, TempOf246Characters_FillsTheWholeBuffer) {
    const std::string temp = folder_of(246);
    GuardedPath out;
    ASSERT_TRUE(build_export_path(temp.c_str(), nullptr, out.path));
    EXPECT_EQ(std::string(out.path), temp + "\\Info.sgi");
    EXPECT_EQ(out.path[kExportPathBufferSize - 1], '\0');
    EXPECT_TRUE(out.guard_intact());
}

TEST(ExportPath, TempTooLongUnsetOrEmpty_UsesTheSystemFolder) {
    const std::string long_temp = folder_of(247);
    const std::string very_long_temp(5000, 'x');
    const std::initializer_list<const char*> temps{long_temp.c_str(), very_long_temp.c_str(), "",
                                                   nullptr};
    for (const char* temp : temps) {
        GuardedPath out;
        ASSERT_TRUE(build_export_path(temp, "C:\\Windows\\Temp\\", out.path));
        EXPECT_STREQ(out.path, "C:\\Windows\\Temp\\Info.sgi");
        EXPECT_TRUE(out.guard_intact());
    }
}

TEST(ExportPath, SystemFolderWithoutSeparator_GetsOneBackslash) {
    GuardedPath out;
    ASSERT_TRUE(build_export_path(nullptr, "C:\\Temp", out.path));
    EXPECT_STREQ(out.path, "C:\\Temp\\Info.sgi");
    ASSERT_TRUE(build_export_path(nullptr, "/tmp/", out.path));
    EXPECT_STREQ(out.path, "/tmp/Info.sgi");
}

TEST(ExportPath, SystemFolderAtTheLimit_FitsOnlyWithRoomForTheNul) {
    GuardedPath out;
    EXPECT_TRUE(build_export_path(nullptr, folder_of(247, "\\").c_str(), out.path));
    EXPECT_EQ(std::strlen(out.path), kExportPathBufferSize - 1);
    EXPECT_FALSE(build_export_path(nullptr, folder_of(248, "\\").c_str(), out.path));
    EXPECT_TRUE(build_export_path(nullptr, folder_of(246).c_str(), out.path));
    EXPECT_EQ(std::strlen(out.path), kExportPathBufferSize - 1);
    EXPECT_FALSE(build_export_path(nullptr, folder_of(247).c_str(), out.path));
    EXPECT_TRUE(out.guard_intact());
}

TEST(ExportPath, NothingUsable_FalseWithTheBufferEmpty) {
    const std::string too_long(300, 'y');
    for (const char* fallback : std::initializer_list<const char*>{too_long.c_str(), "", nullptr}) {
        GuardedPath out;
        EXPECT_FALSE(build_export_path(too_long.c_str(), fallback, out.path));
        EXPECT_EQ(out.path[0], '\0');
        EXPECT_TRUE(out.guard_intact());
    }
}

}  // namespace
