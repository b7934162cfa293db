// The main dialog, driven in-process through its real dialog procedure under Wine.

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "app/program_text.h"
#include "app/scrambled_asset.h"
#include "dialog_harness.h"

namespace {

LPARAM position(int x, int y) { return MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)); }

HCURSOR cursor_after_set_cursor(HWND dialog) {
    SetCursor(nullptr);
    SendMessageW(dialog, WM_SETCURSOR, reinterpret_cast<WPARAM>(dialog), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    return GetCursor();
}

HCURSOR hand() { return LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)); }
HCURSOR arrow() { return LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); }

bool icon_alive(HICON icon) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return false;
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return true;
}

}  // namespace

TEST(MainDialogEnvironment, CodePage_IsTheOneThisRunAsksFor) {
    // The same program runs once per ANSI code page; the labels must read right in both.
    const char* expected = std::getenv("VELLUMO_EXPECT_ACP");
    ASSERT_NE(expected, nullptr) << "run through CTest, which names the code page";
    EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
}

TEST_F(DialogTest, MainDialog_AtStart_GetDataEnabledAndOpenReportDisabled) {
    EXPECT_TRUE(IsWindowEnabled(item(IDC_GET_DATA)));
    EXPECT_FALSE(IsWindowEnabled(item(IDC_OPEN_REPORT)));
    EXPECT_EQ(GetFocus(), item(IDC_MODEL_FIELD));
}

TEST_F(DialogTest, MainDialog_Labels_ReadBackAsTheirUnicodeTexts) {
    EXPECT_EQ(window_text_w(item(IDC_GET_DATA)), L"Получить данные");
    EXPECT_EQ(window_text_w(item(IDC_OPEN_REPORT)), L"Открыть отчёт в блокноте");
    EXPECT_EQ(window_text_w(item(IDC_MODEL_LABEL)), L"Модель:");
    EXPECT_EQ(window_text_w(item(IDC_SERIAL_LABEL)), L"S/N:");
    EXPECT_EQ(window_text_w(item(IDC_VERSION_LABEL)), L"Версия:");
    EXPECT_EQ(window_text_w(item(IDC_CRUM_LABEL)), L"CRUM:");
    EXPECT_EQ(window_text_w(item(IDC_INFO_GROUP)), L"Информация о принтере");
    EXPECT_EQ(window_text_w(dialog_), L"Vellumo Printer info v1.6.0");
}

// The wide copy is as plain as the asset: made in memory the test owns, it must leave zeros.
TEST(ProgramText, OutOfUse_LeavesOnlyZerosWhereTheWideCopyWas) {
    alignas(ProgramText) unsigned char memory[sizeof(ProgramText)];
    {
        const ScrambledAsset caption(AssetId::MessageCaption);
        const ProgramText* text = new (memory) ProgramText(caption.text());
        EXPECT_STREQ(text->get(), L"Сообщение");
        text->~ProgramText();
    }
    const volatile unsigned char* left = memory;  // read what is really there
    std::size_t non_zero = 0;
    for (std::size_t i = 0; i < sizeof memory; ++i) non_zero += left[i] != 0 ? 1 : 0;
    EXPECT_EQ(non_zero, 0u);
}

TEST_F(DialogTest, MainDialog_Manifest_LoadsCommonControlsSix) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, MAX_PATH);
    EXPECT_NE(std::strstr(path, "winsxs"), nullptr) << path;
}

TEST_F(DialogTest, MainDialog_Icon_IsTheWindowsBigAndSmallIcon) {
    const HICON icon = dialog_graphics().icon;
    ASSERT_NE(icon, nullptr);
    EXPECT_TRUE(icon_alive(icon));
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dialog_, WM_GETICON, ICON_BIG, 0)), icon);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dialog_, WM_GETICON, ICON_SMALL, 0)), icon);
}

TEST_F(DialogTest, MainDialog_ReportBox_UsesTheRequestedFixedPitchFont) {
    const auto font = reinterpret_cast<HFONT>(SendMessageW(item(IDC_REPORT_TEXT), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font, dialog_graphics().report_font);
    LOGFONTA requested{};
    ASSERT_EQ(GetObjectA(font, sizeof requested, &requested), static_cast<int>(sizeof requested));
    EXPECT_STREQ(requested.lfFaceName, "Lucida Console");
    EXPECT_EQ(requested.lfHeight, 12);
    EXPECT_EQ(requested.lfPitchAndFamily & 3, FIXED_PITCH);
    EXPECT_EQ(requested.lfCharSet, ANSI_CHARSET);
}

TEST_F(DialogTest, MainDialog_PointerAtTheLogosEdges_HandInsideArrowOutside) {
    struct Case {
        int x, y;
        bool over;
    };
    const Case cases[] = {{98, 98, true},  {577, 98, true},  {98, 0, true},   {577, 0, true},
                          {97, 98, false}, {578, 98, false}, {98, 99, false}, {300, -1, false},
                          {-300, 50, false}, {300, 50, true}};
    for (const Case& c : cases) {
        EXPECT_EQ(call(WM_MOUSEMOVE, 0, position(c.x, c.y)), TRUE);
        EXPECT_EQ(cursor_after_set_cursor(dialog_), c.over ? hand() : arrow()) << c.x << "," << c.y;
    }
}

TEST_F(DialogTest, MainDialog_PointerOntoTheFrame_ClearsHover) {
    call(WM_MOUSEMOVE, 0, position(300, 50));
    ASSERT_EQ(cursor_after_set_cursor(dialog_), hand());
    EXPECT_EQ(call(WM_NCMOUSEMOVE, HTCAPTION, position(300, 10)), TRUE);
    EXPECT_EQ(cursor_after_set_cursor(dialog_), arrow());
    call(WM_LBUTTONDOWN, MK_LBUTTON, position(300, 50));
    EXPECT_TRUE(shell_requests().empty());
}

TEST_F(DialogTest, MainDialog_ClickOutsideTheLogo_OpensNothing) {
    call(WM_MOUSEMOVE, 0, position(578, 50));
    EXPECT_EQ(call(WM_LBUTTONDOWN, MK_LBUTTON, position(578, 50)), TRUE);
    EXPECT_TRUE(shell_requests().empty());
}

TEST_F(DialogTest, MainDialog_ClickOnTheLogo_OpensTheLinkTargetOnce) {
    call(WM_MOUSEMOVE, 0, position(577, 98));
    EXPECT_EQ(call(WM_LBUTTONDOWN, MK_LBUTTON, position(577, 98)), TRUE);
    ASSERT_EQ(shell_requests().size(), 1u);
    const ShellRequest& request = shell_requests()[0];
    EXPECT_EQ(request.window, nullptr);
    EXPECT_EQ(request.verb, "open");
    EXPECT_EQ(request.file, ScrambledAsset(AssetId::LinkTarget).text());
    EXPECT_EQ(request.file.size(), 20u);
    EXPECT_EQ(request.parameters, "");
    EXPECT_FALSE(request.has_directory);
    EXPECT_EQ(request.show, SW_SHOWNORMAL);
}

TEST_F(DialogTest, MainDialog_GetDataClicked_EmptiesTheBoxesDisablesButtonsAndRequests) {
    RetrievalView& view = main_dialog_view();
    view.set_field(ReportField::Model, "M1");
    view.set_field(ReportField::Serial, "S1");
    view.set_field(ReportField::Firmware, "F1");
    view.set_field(ReportField::Crum, "C1");
    view.set_report_text("Model Name : M1\r\n");
    HasReport = true;
    view.enable_buttons(true);
    ASSERT_TRUE(IsWindowEnabled(item(IDC_OPEN_REPORT)));

    EXPECT_EQ(command(IDC_GET_DATA, BN_CLICKED), TRUE);

    for (int id : {IDC_MODEL_FIELD, IDC_SERIAL_FIELD, IDC_FIRMWARE_FIELD, IDC_CRUM_FIELD, IDC_REPORT_TEXT}) {
        EXPECT_EQ(GetWindowTextLengthA(item(id)), 0) << id;
    }
    EXPECT_FALSE(IsWindowEnabled(item(IDC_GET_DATA)));
    EXPECT_FALSE(IsWindowEnabled(item(IDC_OPEN_REPORT)));
    EXPECT_FALSE(HasReport);
    EXPECT_TRUE(RetrievalRequest);
}

TEST_F(DialogTest, MainDialog_GetDataPressedFromTheKeyboard_KeepsTheFocusInTheDialog) {
    SetFocus(item(IDC_GET_DATA));
    ASSERT_EQ(GetFocus(), item(IDC_GET_DATA));

    EXPECT_EQ(command(IDC_GET_DATA, BN_CLICKED), TRUE);

    // The pressed button is disabled: the focus moves on to the report box, not to nowhere.
    EXPECT_EQ(GetFocus(), item(IDC_REPORT_TEXT));
}

TEST_F(DialogTest, MainDialog_GetDataWithAnotherNotification_DoesNothingAndReturnsFalse) {
    main_dialog_view().set_field(ReportField::Model, "M1");
    EXPECT_EQ(command(IDC_GET_DATA, BN_DOUBLECLICKED), FALSE);
    EXPECT_EQ(command(IDC_OPEN_REPORT, BN_SETFOCUS), FALSE);
    EXPECT_EQ(window_text_a(item(IDC_MODEL_FIELD)), "M1");
    EXPECT_TRUE(IsWindowEnabled(item(IDC_GET_DATA)));
    EXPECT_FALSE(RetrievalRequest);
    EXPECT_TRUE(shell_requests().empty());
}

TEST_F(DialogTest, MainDialog_Escape_DoesNotCloseTheDialog) {
    EXPECT_EQ(call(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)), FALSE);
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    SetFocus(item(IDC_MODEL_FIELD));
    MSG key{dialog_, WM_KEYDOWN, VK_ESCAPE, 0x00010001, 0, {0, 0}};
    key.hwnd = GetFocus();
    IsDialogMessageW(dialog_, &key);
    pump_until([] { return false; }, 50);
    EXPECT_TRUE(IsWindowVisible(dialog_));
    EXPECT_NE(dialog_graphics().report_font, nullptr);

    // A multi-line edit would post WM_CLOSE to its dialog on Esc; the report box must not.
    SetFocus(item(IDC_REPORT_TEXT));
    for (UINT message : {WM_KEYDOWN, WM_CHAR}) {
        MSG report_key{item(IDC_REPORT_TEXT), message, VK_ESCAPE, 0x00010001, 0, {0, 0}};
        IsDialogMessageW(dialog_, &report_key);
        SendMessageW(item(IDC_REPORT_TEXT), message, VK_ESCAPE, 0x00010001);
    }
    pump_until([] { return false; }, 50);
    EXPECT_TRUE(IsWindowVisible(dialog_));
    EXPECT_NE(dialog_graphics().report_font, nullptr);

    // The check above can see a close: a close request does end (hide) the dialog.
    SendMessageW(dialog_, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(dialog_));
}

TEST_F(DialogTest, MainDialog_CloseWithoutExport_RemovesNothingAndReleasesEachObjectOnce) {
    // A file where an export would go, made by someone else: not ours to remove.
    char temp[MAX_PATH] = "";
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string foreign = std::string(temp) + "Info.sgi";
    FILE* file = std::fopen(foreign.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ASSERT_STREQ(export_path(), "");

    const DialogGraphics before = dialog_graphics();
    ASSERT_NE(before.report_font, nullptr);
    ASSERT_NE(before.logo, nullptr);
    ASSERT_NE(before.mask, nullptr);
    ASSERT_NE(before.icon, nullptr);

    EXPECT_EQ(call(WM_CLOSE, 0), TRUE);
    EXPECT_EQ(GetFileAttributesA(foreign.c_str()) != INVALID_FILE_ATTRIBUTES, true);
    EXPECT_EQ(GetObjectType(before.report_font), 0u);
    EXPECT_EQ(GetObjectType(before.logo), 0u);
    EXPECT_EQ(GetObjectType(before.mask), 0u);
    EXPECT_FALSE(icon_alive(before.icon));
    EXPECT_EQ(dialog_graphics().report_font, nullptr);
    EXPECT_EQ(dialog_graphics().logo, nullptr);
    EXPECT_EQ(dialog_graphics().mask, nullptr);
    EXPECT_EQ(dialog_graphics().icon, nullptr);

    // A second close request releases nothing: objects made since stay alive.
    const HFONT font = CreateFontA(12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    const HBITMAP bitmap = CreateBitmap(4, 4, 1, 1, nullptr);
    EXPECT_EQ(call(WM_CLOSE, 0), TRUE);
    EXPECT_EQ(GetObjectType(font), static_cast<DWORD>(OBJ_FONT));
    EXPECT_EQ(GetObjectType(bitmap), static_cast<DWORD>(OBJ_BITMAP));
    DeleteObject(font);
    DeleteObject(bitmap);
    std::remove(foreign.c_str());
}
