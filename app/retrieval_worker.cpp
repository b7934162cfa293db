#include "app/retrieval_worker.h"

#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>

#include "app/cut_notice.h"
#include "app/scrambled_asset.h"
#include "link/printer_link.h"
#include "link/report_session.h"
#include "report/report_formatter.h"
#include "report/report_text.h"

namespace {

constexpr DWORD kPollIntervalMs = 10;

std::atomic<RetrievalView*> g_view{nullptr};
std::atomic<ReportBufferSource> g_buffer_source{nullptr};

void* obtain_report_buffer() {
    const ReportBufferSource source = g_buffer_source.load();
    return source != nullptr ? source(kReportBufferSize) : std::malloc(kReportBufferSize);
}

void show_status(RetrievalView& view, AssetId text) {
    const ScrambledAsset status(text);
    view.set_status(status.text());
}

void show_field(RetrievalView& view, ReportField field, const std::optional<std::string>& value) {
    if (value) view.set_field(field, value->c_str());
}

void show_fields(RetrievalView& view, const ReportFields& fields) {
    show_field(view, ReportField::Model, fields.model);
    show_field(view, ReportField::Serial, fields.serial);
    show_field(view, ReportField::Firmware, fields.firmware);
    show_field(view, ReportField::Crum, fields.crum);
}

// Appends `line` to `listing`; false when no memory can be had for it.
bool add_line(std::string& listing, const char* line) noexcept {
    try {
        listing += line;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// A cut listing ends in a line that says so, and the status says it too: the done status alone
// would claim the whole report is shown. False when there is no memory for the line.
bool show_cut_report(RetrievalView& view, FormattedReport& report) {
    const CutNotice notice(report.lines, report.full_lines, GetACP());
    const std::size_t listing_size = report.text.size();
    if (!add_line(report.text, notice.line())) return false;
    show_fields(view, report.fields);
    view.set_report_text(report.text.c_str());
    wipe_plain_copy(report.text.data() + listing_size, report.text.size() - listing_size);
    view.set_status(notice.status());
    return true;
}

// Formats the raw report of `length` bytes in `buffer` and shows the fields, the listing and
// the status; false when the formatter could not get its memory.
bool show_report(RetrievalView& view, char* buffer, std::size_t length) {
    buffer[length] = '\0';
    FormattedReport report;
    if (!ReportFormatter::format(buffer, report)) return false;
    if (report.cut) return show_cut_report(view, report);
    show_fields(view, report.fields);
    view.set_report_text(report.text.c_str());
    show_status(view, AssetId::DoneStatus);
    return true;
}

// Runs the session over the open link and shows what it brought; true when all went well.
bool receive_report(RetrievalView& view, PrinterLink& link, char* buffer) {
    std::size_t length = 0;
    if (!ReportSession::run(link, buffer, kReportBufferSize, length)) return false;
    // The session keeps a byte free for the NUL; a length without one is not to be trusted.
    if (length >= kReportBufferSize) return false;
    if (length > 0) return show_report(view, buffer, length);
    show_status(view, AssetId::DoneStatus);
    return true;
}

void report_failure(RetrievalView& view) {
    const ScrambledAsset failure(AssetId::FailureText);
    view.set_status(failure.text());
    view.show_information(failure.text());
}

}  // namespace

void install_retrieval_view(RetrievalView* view) noexcept { g_view.store(view); }

void set_report_buffer_source(ReportBufferSource source) noexcept { g_buffer_source.store(source); }

void perform_retrieval(RetrievalView& view) {
    show_status(view, AssetId::RetrievingStatus);
    auto* buffer = static_cast<char*>(obtain_report_buffer());
    bool succeeded = false;
    PrinterLink link;
    // Without a buffer there is nothing to receive into: the printer is not disturbed.
    if (buffer != nullptr && link.open()) succeeded = receive_report(view, link, buffer);
    link.close();
    std::free(buffer);
    RetrievalRequest.store(false);
    HasReport.store(view.report_text_length() != 0);
    if (!succeeded) report_failure(view);
    view.enable_buttons(true);
}

void __cdecl worker_main(void*) {
    for (;;) {
        RetrievalView* view = g_view.load();
        if (view != nullptr && RetrievalRequest.load()) perform_retrieval(*view);
        Sleep(kPollIntervalMs);
    }
}
