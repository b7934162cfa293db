// Discovery of the PrinterLink: a scripted device enumeration (the four SetupAPI calls) in front
// of real named pipes, so that whichever device discovery picks is really opened.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/printer_link.h"
#include "link/report_session.h"
#include "report/report_text.h"
#include "sim/pipe_printer.h"

namespace {

using Device = ScriptedDiscovery::Device;

constexpr DWORD kSessionWaitMs = 10000;

// Whether a host has connected to the server end `pipe` (an overlapped pipe instance).
bool host_connected(HANDLE pipe) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const bool connected =
        !ConnectNamedPipe(pipe, &overlapped) && GetLastError() == ERROR_PIPE_CONNECTED;
    CancelIo(pipe);
    DWORD unused = 0;
    if (!connected) GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
    CloseHandle(overlapped.hEvent);
    return connected;
}

HANDLE create_server_pipe(const std::string& name) {
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                            nullptr);
}

class PrinterLinkDiscovery : public ::testing::Test {
protected:
    void script(std::vector<Device> devices, bool device_set_fails = false) {
        check_and_end_script();
        discovery_ = std::make_unique<ScriptedDiscovery>(std::move(devices), device_set_fails);
    }

    // Every set obtained was destroyed, and every call carried the arguments discovery needs.
    void check_and_end_script() {
        if (!discovery_) return;
        EXPECT_EQ(discovery_->sets_destroyed(), discovery_->sets_obtained());
        EXPECT_EQ(discovery_->wrong_calls(), std::vector<std::string>{});
        discovery_.reset();
    }

    void TearDown() override { check_and_end_script(); }

    // A whole session over the opened link; true when it brought the sample report.
    static bool session_succeeds(PrinterLink& link) {
        std::vector<char> buffer(kReportBufferSize);
        std::size_t length = 0;
        return ReportSession::run(link, buffer.data(), buffer.size(), length) && length > 0;
    }

    std::unique_ptr<ScriptedDiscovery> discovery_;
};

TEST_F(PrinterLinkDiscovery, TwoSupportedPrinters_FirstInEnumerationIsUsed) {
    PipePrinter first(std::string(sample_report()), PrinterFault::None);
    PipePrinter second(std::string(sample_report()), PrinterFault::None);
    ASSERT_TRUE(first.ok() && second.ok());
    script({{first.device_path()}, {second.device_path()}});

    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(session_succeeds(link));
    link.close();

    EXPECT_TRUE(first.wait_for_sessions(1, kSessionWaitMs));
    EXPECT_TRUE(second.sessions().empty());
    EXPECT_EQ(discovery_->details_read(), std::vector<DWORD>{0});
    EXPECT_EQ(discovery_->sets_obtained(), 1);
}

TEST_F(PrinterLinkDiscovery, EachSupportedVendor_IsFoundAfterAnotherVendor) {
    for (const char* vendor : {"vid_04e8", "vid_0924", "vid_413c", "vid_03f0"}) {
        SCOPED_TRACE(vendor);
        PipePrinter printer([] { return std::make_unique<SimulatedPrinter>(); },
                            unique_pipe_device_path(std::string("#") + vendor + "&pid_1001#7&1"));
        ASSERT_TRUE(printer.ok());
        script({{unique_pipe_device_path("#vid_1234&pid_0001#1")}, {printer.device_path()}});

        PrinterLink link;
        ASSERT_TRUE(link.open());
        EXPECT_TRUE(session_succeeds(link));
        link.close();
        EXPECT_TRUE(printer.wait_for_sessions(1, kSessionWaitMs));
        EXPECT_EQ(discovery_->details_read(), (std::vector<DWORD>{0, 1}));
    }
}

TEST_F(PrinterLinkDiscovery, OtherVendorFirst_IsSkippedEvenThoughItsPipesOpen) {
    PipePrinter other([] { return std::make_unique<SimulatedPrinter>(); },
                      unique_pipe_device_path("#vid_1234&pid_0001#6&1"));
    PipePrinter supported;
    script({{other.device_path()}, {supported.device_path()}});

    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(session_succeeds(link));
    link.close();

    EXPECT_TRUE(supported.wait_for_sessions(1, kSessionWaitMs));
    EXPECT_TRUE(other.sessions().empty());
}

TEST_F(PrinterLinkDiscovery, UpperCaseVendor_DoesNotMatch) {
    PipePrinter upper([] { return std::make_unique<SimulatedPrinter>(); },
                      unique_pipe_device_path("#VID_04E8&PID_3301#5&1"));
    ASSERT_TRUE(upper.ok());
    script({{upper.device_path()}});

    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_FALSE(link.write_pipe_open());
    EXPECT_FALSE(link.read_pipe_open());
    EXPECT_EQ(discovery_->details_read(), std::vector<DWORD>{0});
}

TEST_F(PrinterLinkDiscovery, DetailReadFailing_EndsTheSearch) {
    PipePrinter supported;
    script({{unique_pipe_device_path("#vid_1234&pid_0001#1")},
            {unique_pipe_device_path(), /*detail_fails=*/true},
            {supported.device_path()}});

    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_EQ(discovery_->details_read(), (std::vector<DWORD>{0, 1}));
    EXPECT_FALSE(link.write_pipe_open());
}

TEST_F(PrinterLinkDiscovery, NoInterfaces_FailsAndDestroysTheSet) {
    script({});
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_EQ(discovery_->sets_obtained(), 1);
    EXPECT_EQ(discovery_->sets_destroyed(), 1);
}

TEST_F(PrinterLinkDiscovery, NoDeviceSet_FailsWithoutAskingForInterfaces) {
    PipePrinter supported;
    script({{supported.device_path()}}, /*device_set_fails=*/true);
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_TRUE(discovery_->details_read().empty());
    EXPECT_EQ(discovery_->sets_destroyed(), 0);
}

TEST_F(PrinterLinkDiscovery, PipeThatDoesNotExist_FailsAndDestroysTheSet) {
    script({{unique_pipe_device_path()}});
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_FALSE(link.write_pipe_open());
    EXPECT_EQ(discovery_->sets_destroyed(), 1);
}

// A device path of exactly `length` characters that names a supported printer.
std::string device_path_of_length(std::size_t length) {
    std::string path = unique_pipe_device_path("#vid_04e8&pid_3301#");
    path.append(length - path.size(), 'a');
    return path;
}

// The longest device path whose pipe names (path + 7 characters) the platform still opens.
TEST_F(PrinterLinkDiscovery, DevicePathOf252Characters_OpensItsPipes) {
    PipePrinter printer([] { return std::make_unique<SimulatedPrinter>(); },
                        device_path_of_length(252));
    ASSERT_TRUE(printer.ok());
    script({{printer.device_path()}});

    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(session_succeeds(link));
    link.close();
    EXPECT_TRUE(printer.wait_for_sessions(1, kSessionWaitMs));
}

// Paths of 253-255 characters fit the detail record but not with a suffix in 260 bytes. The
// whole pipe name is asked for; a name cut to 259 characters would open another file, here a
// decoy pipe of exactly that name.
TEST_F(PrinterLinkDiscovery, DevicePathOf253To255Characters_IsNeverCutToAnotherName) {
    for (std::size_t length : {253u, 254u, 255u}) {
        SCOPED_TRACE(length);
        const std::string path = device_path_of_length(length);
        const std::string cut = (path + PrinterLink::kWritePipeSuffix).substr(0, 259);
        HANDLE decoy = create_server_pipe(cut);
        ASSERT_NE(decoy, INVALID_HANDLE_VALUE) << GetLastError();
        script({{path}});

        PrinterLink link;
        EXPECT_FALSE(link.open());
        EXPECT_FALSE(link.write_pipe_open());
        EXPECT_FALSE(host_connected(decoy));
        CloseHandle(decoy);
        EXPECT_EQ(discovery_->details_read(), std::vector<DWORD>{0});
    }
}

TEST_F(PrinterLinkDiscovery, DevicePathTooLongForTheDetailRecord_EndsTheSearch) {
    PipePrinter supported;
    script({{device_path_of_length(256)}, {supported.device_path()}});
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_EQ(discovery_->details_read(), std::vector<DWORD>{0});
}

// The real SetupAPI of the test machine (Wine) has no USB printer.
TEST(PrinterLinkRealSetupApi, NoUsbPrinterAttached_OpenFails) {
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_FALSE(link.write_pipe_open());
    EXPECT_FALSE(link.read_pipe_open());
}

}  // namespace
