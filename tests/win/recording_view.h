#pragma once
// What the worker's tests share: a view that records what the worker does to the dialog, and the
// listing and fields a report should give.

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/retrieval_worker.h"
#include "app/scrambled_asset.h"
#include "link/report_session.h"
#include "report/report_formatter.h"
#include "report/report_text.h"
#include "sim/simulated_printer.h"

namespace recording_view {

inline std::string asset_text(AssetId id) { return ScrambledAsset(id).text(); }

inline const char* field_name(ReportField field) {
    switch (field) {
        case ReportField::Model:
            return "model";
        case ReportField::Serial:
            return "serial";
        case ReportField::Firmware:
            return "firmware";
        case ReportField::Crum:
            return "crum";
    }
    return "?";
}

// Records every call in order, from whichever thread makes it. Holds the report box's text and
// the two buttons like the dialog does.
class RecordingView : public RetrievalView {
public:
    void set_status(const char* text) override { add("status: " + std::string(text)); }
    void set_report_text(const char* text) override {
        std::lock_guard lock(mutex_);
        report_text_ = text;
        calls_.push_back("report text");
    }
    void set_field(ReportField field, const char* text) override {
        add(std::string(field_name(field)) + ": " + text);
    }
    std::size_t report_text_length() override {
        std::lock_guard lock(mutex_);
        calls_.push_back("report length");
        return report_text_.size();
    }
    void enable_buttons(bool on) override {
        // The open-report button follows HasReport, read when the buttons are enabled.
        const bool open_report = on && HasReport.load();
        add(std::string("buttons: get-data ") + (on ? "on" : "off") + ", open-report " +
            (open_report ? "on" : "off"));
    }
    // The flags are read while the message shows: the user may wait long before dismissing it.
    void show_information(const char* text) override {
        add("information: " + std::string(text) + " (request " + on_off(RetrievalRequest.load()) +
            ", has-report " + on_off(HasReport.load()) + ")");
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::string report_text() const {
        std::lock_guard lock(mutex_);
        return report_text_;
    }
    bool buttons_enabled() const {
        std::lock_guard lock(mutex_);
        return std::any_of(calls_.begin(), calls_.end(),
                           [](const std::string& call) { return call.starts_with("buttons:"); });
    }

private:
    static std::string on_off(bool on) { return on ? "on" : "off"; }

    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::string report_text_;
};

// The dialog's part of a get-data press: no report yet, and a request for the worker.
inline void request_retrieval() {
    HasReport.store(false);
    RetrievalRequest.store(true);
}

// The fields and listing the formatter makes of what a printer with `report` sends.
inline FormattedReport expected_report(const std::string& report) {
    SimulatedPrinter printer(report);
    SimulatedPrinterLink link(printer);
    std::vector<char> raw(kReportBufferSize);
    std::size_t length = 0;
    FormattedReport formatted;
    if (ReportSession::run(link, raw.data(), raw.size(), length) && length > 0) {
        raw[length] = '\0';
        ReportFormatter::format(raw.data(), formatted);
    }
    return formatted;
}

// The failure message as the view records it: by then the request is cleared and HasReport
// holds its final value, on only when the report box still holds text.
inline std::string failure_information_call(bool box_holds_text = false) {
    return "information: " + asset_text(AssetId::FailureText) + " (request off, has-report " +
           (box_holds_text ? "on" : "off") + ")";
}

// What the view records of a retrieval that fails.
inline std::vector<std::string> failure_calls(bool box_holds_text = false) {
    const std::string failure = asset_text(AssetId::FailureText);
    return {"status: " + asset_text(AssetId::RetrievingStatus), "report length",
            "status: " + failure, failure_information_call(box_holds_text),
            std::string("buttons: get-data on, open-report ") + (box_holds_text ? "on" : "off")};
}

// What the view records of a retrieval that gets `report`: the fields it has, then the listing.
inline std::vector<std::string> success_calls(const FormattedReport& report) {
    std::vector<std::string> calls{"status: " + asset_text(AssetId::RetrievingStatus)};
    if (report.fields.model) calls.push_back("model: " + *report.fields.model);
    if (report.fields.serial) calls.push_back("serial: " + *report.fields.serial);
    if (report.fields.firmware) calls.push_back("firmware: " + *report.fields.firmware);
    if (report.fields.crum) calls.push_back("crum: " + *report.fields.crum);
    calls.insert(calls.end(), {"report text", "status: " + asset_text(AssetId::DoneStatus),
                               "report length", "buttons: get-data on, open-report on"});
    return calls;
}

}  // namespace recording_view
