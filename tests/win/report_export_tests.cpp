// The report export: the report box's text to "Info.sgi" in the temporary directory, opened by
// the shell with Notepad (here a recording seam), and removed when the dialog closes.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "dialog_harness.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool file_exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string system_temp() {
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    return temp;
}

// Sets (or, with nullptr, removes) an environment variable for the test's length.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        char old[1024];
        const DWORD length = GetEnvironmentVariableA(name, old, sizeof old);
        had_ = length > 0 && length < sizeof old;
        if (had_) old_ = old;
        SetEnvironmentVariableA(name, value);
    }
    ~ScopedVariable() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// A directory of its own under the system's temporary directory, for TEMP to name.
class ExportTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        directory_ = system_temp() + "vellumo-export-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(directory_.c_str(), nullptr);
        file_ = directory_ + "\\Info.sgi";
    }
    void TearDown() override {
        DialogTest::TearDown();
        std::remove(file_.c_str());
        RemoveDirectoryA(directory_.c_str());
    }
    INT_PTR press_open_report() const { return command(IDC_OPEN_REPORT, BN_CLICKED); }

    std::string directory_;
    std::string file_;
};

const char kReport[] =
    "Model Name             : M100\r\n"
    "Machine Serial Number  : Z7AB\xC0\xE9\r\n"
    "Firmware Version       : V1.01\r\n";

}  // namespace

TEST_F(ExportTest, ExportReport_TempNamesADirectory_WritesExactlyTheTextAndOpensNotepad) {
    ScopedVariable temp("TEMP", directory_.c_str());
    main_dialog_view().set_report_text(kReport);
    EXPECT_EQ(press_open_report(), TRUE);

    EXPECT_EQ(read_file(file_), std::string(kReport));  // last byte LF, no NUL after it
    EXPECT_STREQ(export_path(), file_.c_str());
    ASSERT_EQ(shell_requests().size(), 1u);
    const ShellRequest& request = shell_requests()[0];
    EXPECT_EQ(request.window, nullptr);
    EXPECT_EQ(request.verb, "open");
    EXPECT_EQ(request.file, "notepad");
    EXPECT_EQ(request.parameters, file_);
    EXPECT_FALSE(request.has_directory);
    EXPECT_EQ(request.show, SW_SHOWNORMAL);
}

TEST_F(ExportTest, ExportReport_PressedTwice_RewritesTheFileAndStartsTwoEditors) {
    ScopedVariable temp("TEMP", directory_.c_str());
    main_dialog_view().set_report_text(kReport);
    press_open_report();
    main_dialog_view().set_report_text("A : 1\r\n");
    press_open_report();
    EXPECT_EQ(read_file(file_), "A : 1\r\n");
    EXPECT_EQ(shell_requests().size(), 2u);
}

TEST_F(ExportTest, ExportReport_EmptyReportBox_WritesAndOpensNothing) {
    ScopedVariable temp("TEMP", directory_.c_str());
    EXPECT_EQ(press_open_report(), TRUE);
    EXPECT_FALSE(file_exists(file_));
    EXPECT_TRUE(shell_requests().empty());
}

TEST_F(ExportTest, ExportReport_DirectoryMissing_OpensNothing) {
    const std::string missing = directory_ + "\\missing";
    ScopedVariable temp("TEMP", missing.c_str());
    main_dialog_view().set_report_text(kReport);
    EXPECT_EQ(press_open_report(), TRUE);
    EXPECT_TRUE(shell_requests().empty());
}

TEST_F(ExportTest, ExportReport_DialogClosed_RemovesTheFile) {
    ScopedVariable temp("TEMP", directory_.c_str());
    main_dialog_view().set_report_text(kReport);
    press_open_report();
    ASSERT_TRUE(file_exists(file_));
    SendMessageW(dialog_, WM_CLOSE, 0, 0);
    EXPECT_FALSE(file_exists(file_));
}

// Info.sgi is another program's, held open without letting others write (deletion it allows):
// the export fails, and closing must leave the file as it was. A later export is removed.
TEST_F(ExportTest, ExportReport_FileThatCannotBeWritten_IsLeftAtCloseAndALaterExportRemoved) {
    // A folder of its own: an earlier test's export may have recorded the file in directory_.
    const std::string folder = directory_ + "\\theirs";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string theirs = folder + "\\Info.sgi";
    ScopedVariable temp("TEMP", folder.c_str());
    main_dialog_view().set_report_text(kReport);
    std::ofstream(theirs, std::ios::binary) << "their text";
    HANDLE held = CreateFileA(theirs.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    press_open_report();
    SendMessageW(dialog_, WM_CLOSE, 0, 0);
    CloseHandle(held);
    EXPECT_TRUE(shell_requests().empty());
    EXPECT_EQ(read_file(theirs), "their text");

    std::remove(theirs.c_str());
    press_open_report();
    EXPECT_EQ(read_file(theirs), std::string(kReport));
    SendMessageW(dialog_, WM_CLOSE, 0, 0);
    EXPECT_FALSE(file_exists(theirs));
    RemoveDirectoryA(folder.c_str());
}

TEST_F(ExportTest, ExportReport_NoPathFits_WritesAndOpensNothing) {
    const std::string too_long = "C:\\" + std::string(300, 'x');
    ScopedVariable temp("TEMP", too_long.c_str());
    ScopedVariable tmp("TMP", too_long.c_str());
    main_dialog_view().set_report_text(kReport);
    EXPECT_EQ(press_open_report(), TRUE);
    EXPECT_TRUE(shell_requests().empty());
}

// Run alone under a limit on the size of the files it writes (file_size_limit.sh), which
// VELLUMO_FILE_SIZE_LIMIT gives: a report larger than that opens Info.sgi and then cannot be
// written whole, as on a full disk.
class ExportUnderFileSizeLimit : public ExportTest {
protected:
    static std::size_t limit() {
        const char* value = std::getenv("VELLUMO_FILE_SIZE_LIMIT");
        return value == nullptr ? 0 : std::strtoul(value, nullptr, 10);
    }
};

TEST_F(ExportUnderFileSizeLimit, ExportReport_WriteFailsPartWay_RemovesTheFileAtOnceAndNoEditor) {
    ASSERT_GT(limit(), 0u) << "run through file_size_limit.sh (ctest does)";
    ScopedVariable temp("TEMP", directory_.c_str());
    main_dialog_view().set_report_text(kReport);
    press_open_report();
    ASSERT_EQ(read_file(file_), std::string(kReport));

    std::string large;
    while (large.size() <= 2 * limit()) large += kReport;
    main_dialog_view().set_report_text(large.c_str());
    press_open_report();
    EXPECT_EQ(shell_requests().size(), 1u) << "no editor for the cut file";
    EXPECT_FALSE(file_exists(file_)) << "removed at once, not left cut short until the close";

    main_dialog_view().set_report_text(kReport);
    press_open_report();
    EXPECT_EQ(read_file(file_), std::string(kReport));
    EXPECT_EQ(shell_requests().size(), 2u);
    SendMessageW(dialog_, WM_CLOSE, 0, 0);
    EXPECT_FALSE(file_exists(file_));
}

// make_export_path writes into a 256-byte buffer; the bytes after it must stay as they were.
class ExportPath : public ::testing::Test {
protected:
    static constexpr char kGuard = '\xA5';
    void SetUp() override { std::memset(&area_, kGuard, sizeof area_); }
    bool guard_intact() const {
        for (const char c : area_.guard) {
            if (c != kGuard) return false;
        }
        return true;
    }
    std::string path() const { return std::string(area_.path, strnlen(area_.path, sizeof area_.path)); }

    struct {
        char path[kExportPathBufferSize];
        char guard[64];
    } area_;
};

TEST_F(ExportPath, MakeExportPath_TempOf246Characters_IsUsedWithBackslashInfoSgi) {
    const std::string temp_value = "C:\\" + std::string(243, 't');
    ScopedVariable temp("TEMP", temp_value.c_str());
    ASSERT_TRUE(make_export_path(area_.path));
    EXPECT_EQ(path(), temp_value + "\\Info.sgi");
    EXPECT_EQ(path().size(), kExportPathBufferSize - 1);
    EXPECT_TRUE(guard_intact());
}

TEST_F(ExportPath, MakeExportPath_TempOf247Characters_FallsBackToTheSystemDirectory) {
    const std::string temp_value = "C:\\" + std::string(244, 't');
    ScopedVariable temp("TEMP", temp_value.c_str());
    ScopedVariable tmp("TMP", "C:\\windows\\temp");
    ASSERT_TRUE(make_export_path(area_.path));
    EXPECT_EQ(path(), "C:\\windows\\temp\\Info.sgi");
    EXPECT_TRUE(guard_intact());
}

TEST_F(ExportPath, MakeExportPath_TempUnset_SystemDirectoryWithoutADoubledBackslash) {
    ScopedVariable temp("TEMP", nullptr);
    ASSERT_TRUE(make_export_path(area_.path));
    EXPECT_EQ(path(), system_temp() + "Info.sgi");
    EXPECT_EQ(path().find("\\\\"), std::string::npos);
    EXPECT_TRUE(guard_intact());
}

TEST_F(ExportPath, MakeExportPath_SystemDirectoryAtTheLimit_FitsOrIsRefused) {
    ScopedVariable temp("TEMP", nullptr);
    {
        // 247 characters with the trailing backslash: with "Info.sgi" and the NUL, 256 bytes.
        const std::string fits = "C:\\" + std::string(243, 'f') + "\\";
        ScopedVariable tmp("TMP", fits.c_str());
        ASSERT_TRUE(make_export_path(area_.path));
        EXPECT_EQ(path(), fits + "Info.sgi");
        EXPECT_TRUE(guard_intact());
    }
    {
        const std::string too_long = "C:\\" + std::string(244, 'f') + "\\";
        ScopedVariable tmp("TMP", too_long.c_str());
        EXPECT_FALSE(make_export_path(area_.path));
        EXPECT_EQ(path(), "");
        EXPECT_TRUE(guard_intact());
    }
}

TEST_F(ExportPath, MakeExportPath_NothingFits_EmptyAndFalse) {
    const std::string too_long = "C:\\" + std::string(300, 'x');
    ScopedVariable temp("TEMP", too_long.c_str());
    ScopedVariable tmp("TMP", too_long.c_str());
    EXPECT_FALSE(make_export_path(area_.path));
    EXPECT_EQ(path(), "");
    EXPECT_TRUE(guard_intact());
}
