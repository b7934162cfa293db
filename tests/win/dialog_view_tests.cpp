// The dialog's operations for the worker, called from another thread while the dialog's own
// thread keeps dispatching messages, as in the program.

#include <atomic>
#include <string>
#include <thread>

#include "app/scrambled_asset.h"
#include "dialog_harness.h"

namespace {

std::wstring status_text(HWND status_bar) {
    wchar_t text[256] = L"";
    const auto length = LOWORD(SendMessageW(status_bar, SB_GETTEXTLENGTHW, 0, 0));
    if (length < 256) SendMessageW(status_bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    return text;
}

struct FoundBox {
    HWND box = nullptr;
};

BOOL CALLBACK find_message_box(HWND window, LPARAM found) {
    char class_name[16] = "";
    GetClassNameA(window, class_name, sizeof class_name);
    if (std::string(class_name) != "#32770") return TRUE;
    reinterpret_cast<FoundBox*>(found)->box = window;
    return FALSE;
}

DWORD WINAPI show_failure_text(void*) {
    const ScrambledAsset text(AssetId::FailureText);
    main_dialog_view().show_information(text.text());
    return 0;
}

}  // namespace

TEST_F(DialogTest, MainDialog_ViewCalledFromAnotherThread_ReachesTheControls) {
    std::atomic<bool> done{false};
    std::size_t length = 0;
    std::thread worker([&] {
        RetrievalView& view = main_dialog_view();
        const ScrambledAsset retrieving(AssetId::RetrievingStatus);
        view.set_status(retrieving.text());
        view.set_field(ReportField::Model, "M100 \xC0\xE9");  // printer bytes, ANSI code page
        view.set_field(ReportField::Crum, "CRUM-123");
        view.set_report_text("Model Name : M100\r\nSerial     : X\r\n");
        length = view.report_text_length();
        HasReport = true;
        view.enable_buttons(true);
        done = true;
    });
    const bool finished = pump_until([&] { return done.load(); });
    worker.join();
    ASSERT_TRUE(finished);

    EXPECT_EQ(status_text(item(IDC_STATUS_BAR)), L"Получение данных от принтера");
    EXPECT_EQ(window_text_a(item(IDC_MODEL_FIELD)), "M100 \xC0\xE9");
    EXPECT_EQ(window_text_a(item(IDC_CRUM_FIELD)), "CRUM-123");
    EXPECT_EQ(window_text_a(item(IDC_SERIAL_FIELD)), "");
    EXPECT_EQ(length, 35u);
    EXPECT_TRUE(IsWindowEnabled(item(IDC_OPEN_REPORT)));
}

TEST_F(DialogTest, MainDialog_EnableButtonsWithoutReport_LeavesOpenReportDisabled) {
    HasReport = false;
    main_dialog_view().enable_buttons(true);
    EXPECT_TRUE(IsWindowEnabled(item(IDC_GET_DATA)));
    EXPECT_FALSE(IsWindowEnabled(item(IDC_OPEN_REPORT)));
    HasReport = true;
    main_dialog_view().enable_buttons(false);
    EXPECT_FALSE(IsWindowEnabled(item(IDC_GET_DATA)));
    EXPECT_FALSE(IsWindowEnabled(item(IDC_OPEN_REPORT)));
}

TEST_F(DialogTest, MainDialog_ShowInformationFromTheWorker_UnicodeBoxOwnedByTheDialog) {
    DWORD thread_id = 0;
    HANDLE thread = CreateThread(nullptr, 0, show_failure_text, nullptr, 0, &thread_id);
    ASSERT_NE(thread, nullptr);
    FoundBox found;
    const bool appeared = pump_until([&] {
        EnumThreadWindows(thread_id, find_message_box, reinterpret_cast<LPARAM>(&found));
        return found.box != nullptr;
    });
    if (appeared) {
        EXPECT_EQ(window_text_w(found.box), L"Сообщение");
        EXPECT_EQ(window_text_w(GetDlgItem(found.box, 0xFFFF)),
                  L"Не удалось получить данные. Проверьте, подключён ли принтер.");
        EXPECT_EQ(GetWindow(found.box, GW_OWNER), dialog_);
        PostMessageW(found.box, WM_COMMAND, IDOK, 0);
    }
    const bool returned = pump_until([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; });
    CloseHandle(thread);
    EXPECT_TRUE(appeared);
    EXPECT_TRUE(returned);
}
