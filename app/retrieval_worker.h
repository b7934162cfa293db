#pragma once
// The one background thread: it waits for a request from the dialog and performs a whole
// retrieval (open the link, run the session, format, show the results, close, report).

#include <atomic>
#include <cstddef>

// Set by the dialog when the user asks for data; cleared by the worker when that retrieval ends.
extern std::atomic<bool> RetrievalRequest;
// Whether the report box holds text; cleared with each request, set by the worker at its end.
extern std::atomic<bool> HasReport;

enum class ReportField { Model, Serial, Firmware, Crum };

// What the worker may do to the dialog, all callable from the worker thread. Texts given to
// set_status and show_information are the program's own (CP1251); the report text and the
// field values are the printer's (the system's ANSI code page), and so is the line that ends a
// cut listing, converted to it.
class RetrievalView {
public:
    virtual ~RetrievalView() = default;
    virtual void set_status(const char* text) = 0;
    virtual void set_report_text(const char* text) = 0;
    virtual void set_field(ReportField field, const char* text) = 0;
    virtual std::size_t report_text_length() = 0;
    // The get-data button follows `on`; the open-report button is enabled only if `on` and
    // HasReport are both true.
    virtual void enable_buttons(bool on) = 0;
    // An information message box with the message caption; returns when the user dismisses it.
    virtual void show_information(const char* text) = 0;
};

// The view the worker reports to; the dialog installs itself during its initialisation,
// before any request can be made.
void install_retrieval_view(RetrievalView* view) noexcept;

// Performs one retrieval, steps in order, reporting to `view`.
void perform_retrieval(RetrievalView& view);

// Where the report buffer of each retrieval comes from: std::malloc, unless a test puts another
// source here (nullptr puts std::malloc back). The buffer is given back with std::free.
using ReportBufferSource = void* (*)(std::size_t size);
void set_report_buffer_source(ReportBufferSource source) noexcept;

// The thread body, started once with _beginthread(worker_main, 0, nullptr); never returns.
void __cdecl worker_main(void*);
