#include "cli/report_entries.h"

#include <exception>
#include <nlohmann/json.hpp>
#include <string_view>

#include "report/report_formatter.h"

namespace {

using Document = nlohmann::json;  // a std::map per object: lookups never grow with the members

// The companion's JSON nests three deep; a parser holds a frame for each level.
constexpr int kMaxJsonDepth = 16;
// Every line of a listing holds a character and CR LF: its JSON has an object for each, and at
// most two commas (a few more for the members around them).
constexpr std::size_t kMaxListingLines = ReportFormatter::kMaxListingSize / 3;
constexpr std::size_t kMaxJsonObjects = kMaxListingLines + 16;
constexpr std::size_t kMaxJsonCommas = 2 * kMaxListingLines + 64;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// What no JSON of the companion holds, looked for before it is parsed (which takes memory for
// every value): arrays and objects deeper than it nests, more objects or values than the longest
// listing gives. Null when there is none of it.
const char* json_shape_fault(std::string_view text) {
    int depth = 0;
    std::size_t objects = 0, commas = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;  // the escaped character
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth) return "nested deeper than the companion's ever is";
            objects += c == '{';
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ',') {
            ++commas;
        }
    }
    if (objects > kMaxJsonObjects || commas > kMaxJsonCommas) {
        return "holding more values than the companion's of the longest listing";
    }
    return nullptr;
}

const Document* member(const Document& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

bool is_string(const Document* value) { return value != nullptr && value->is_string(); }

// A text as the companion writes it: trimmed of spaces, without CR, and (for keys and texts)
// without a colon, which would have ended the key. Null when it is, else what is wrong.
const char* text_fault(std::string_view text, bool colon_allowed) {
    if (text.find('\r') != std::string_view::npos) return "holds a CR";
    if (!colon_allowed && text.find(':') != std::string_view::npos) return "holds a colon";
    if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) return "is not trimmed";
    return nullptr;
}

// One of the JSON's entries as a line of the listing, as the formatter writes it ("key : value"
// or the text, and CR LF), read back to the same key and value; false with `error` when it is not
// one the companion wrote.
bool append_entry_line(const Document& entry, std::size_t index, std::string& listing,
                       std::string& error) {
    const Document* key = entry.is_object() ? member(entry, "key") : nullptr;
    const Document* value = entry.is_object() ? member(entry, "value") : nullptr;
    const Document* text = entry.is_object() ? member(entry, "text") : nullptr;
    const std::string where = "entry " + std::to_string(index + 1) + " ";
    const char* fault = nullptr;
    if (entry.size() == 2 && is_string(key) && is_string(value)) {
        const std::string& key_text = key->get_ref<const std::string&>();
        const std::string& value_text = value->get_ref<const std::string&>();
        fault = text_fault(key_text, false);
        if (fault == nullptr) fault = text_fault(value_text, true);
        listing.append(key_text).append(" : ").append(value_text);
    } else if (entry.size() == 1 && is_string(text)) {
        const std::string& line = text->get_ref<const std::string&>();
        fault = line.empty() ? "is empty" : text_fault(line, false);
        listing.append(line);
    } else {
        error = where + "is neither {\"key\", \"value\"} nor {\"text\"}";
        return false;
    }
    listing.append("\r\n");
    if (fault != nullptr) error = where + fault;
    return fault == nullptr;
}

bool read_fields(const Document* fields, Json& out, std::string& error) {
    if (fields == nullptr || !fields->is_object()) {
        error = "no \"fields\" object";
        return false;
    }
    out = Json::object();
    for (const char* name : {"model", "serial", "firmware", "crum"}) {
        const Document* field = member(*fields, name);
        if (field == nullptr || !(field->is_string() || field->is_null())) {
            error = std::string("\"fields\" has no \"") + name + "\" string or null";
            return false;
        }
        out[name] = field->is_null() ? Json(nullptr) : Json(field->get<std::string>());
    }
    return true;
}

// `read --json` of a reading that failed holds no report: says which failure it was.
std::string failed_reading(const Document& document) {
    const Document* failure = member(document, "failure");
    const Document* name =
        failure != nullptr && failure->is_object() ? member(*failure, "name") : nullptr;
    return "is the JSON of a reading that failed" +
           (is_string(name) ? " (" + name->get<std::string>() + ")" : std::string()) +
           ": it holds no report";
}

// The members of `read --json` and `format --json` that diff reads; others are left alone.
bool read_json_members(const Document& document, ReportEntries& report, std::string& error) {
    const std::string not_ours = "is JSON, but not of read --json or format --json: ";
    if (!document.is_object()) {
        error = not_ours + "not one object";
        return false;
    }
    const Document* ok = member(document, "ok");
    if (ok != nullptr && !ok->is_boolean()) {
        error = not_ours + "\"ok\" is not true or false";
        return false;
    }
    if (ok != nullptr && !ok->get<bool>()) {
        error = failed_reading(document);
        return false;
    }
    const Document* cut = member(document, "cut");
    const Document* entries = member(document, "entries");
    std::string why;
    if (!read_fields(member(document, "fields"), report.fields, why)) {
        error = not_ours + why;
        return false;
    }
    if (cut == nullptr || !cut->is_boolean() || entries == nullptr || !entries->is_array()) {
        error = not_ours + "no \"cut\" true or false, or no \"entries\" array";
        return false;
    }
    report.kind = ok != nullptr ? ReportKind::Reading : ReportKind::Report;
    report.cut = cut->get<bool>();
    for (std::size_t i = 0; i < entries->size(); ++i) {
        if (!append_entry_line((*entries)[i], i, report.listing, why)) {
            error = not_ours + why;
            return false;
        }
    }
    report.lines = entries->size();
    return true;
}

// Parses `bytes` into `document`; false with `error` when they are not one JSON value.
bool parse_json(std::string_view bytes, Document& document, std::string& error) {
    if (bytes.size() > kMaxJsonReportFile) {
        error = "is JSON larger than the companion's ever is (" +
                std::to_string(kMaxJsonReportFile) + " bytes)";
        return false;
    }
    if (const char* fault = json_shape_fault(bytes)) {
        error = std::string("is JSON ") + fault;
        return false;
    }
    try {
        document = Document::parse(bytes.begin(), bytes.end());
        return true;
    } catch (const Document::exception& failure) {  // a syntax error, or a number too large
        const std::string_view said = failure.what();
        const std::size_t prefix = said.find("] ");  // "[json.exception.parse_error.101] "
        error = "is not valid JSON: " +
                std::string(said.substr(prefix == std::string_view::npos ? 0 : prefix + 2));
        if (said.find("expected end of input") != std::string_view::npos) {
            error += " (read --all --json writes a line for each printer: keep one)";
        }
        return false;
    }
}

bool read_raw(std::string_view bytes, ReportEntries& report, std::string& error) {
    const std::string neither =
        "is neither a raw report nor the JSON of read --json or format --json: ";
    if (bytes.size() > kMaxRawReportFile) {
        error = neither + "it is larger than a raw report (" + std::to_string(kMaxRawReportFile) +
                " bytes)";
        return false;
    }
    if (bytes.find('\0') != std::string_view::npos) {
        error = neither + "it holds NUL bytes, as binary files do";
        return false;
    }
    const std::string raw(bytes);
    FormattedReport formatted;
    if (!ReportFormatter::format(raw.c_str(), formatted)) {
        error = "cannot be laid out: not enough memory";
        return false;
    }
    report.kind = ReportKind::Raw;
    report.utf8 = false;
    report.fields = fields_json(formatted.fields);
    report.cut = formatted.cut;
    report.listing = std::move(formatted.text);
    report.lines = formatted.lines;
    return true;
}

}  // namespace

char first_character(std::string_view text) {
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    while (!text.empty() && json_blank(text.front())) text.remove_prefix(1);
    return text.empty() ? '\0' : text.front();
}

bool looks_like_json(std::string_view head) {
    const char first = first_character(head);
    return first == '{' || first == '[';
}

// A report may start with a section title in brackets: such a file is JSON only if it parses.
bool read_report_entries(std::string_view bytes, ReportEntries& report, std::string& error) {
    const char first = first_character(bytes);
    if (first == '{' || first == '[') {
        Document document;
        if (parse_json(bytes, document, error)) {
            report.utf8 = true;
            return read_json_members(document, report, error);
        }
        if (first == '{') return false;
    }
    error.clear();
    return read_raw(bytes, report, error);
}

// CR, LF, the colon and the space are the same bytes in both, and no other character's UTF-8
// holds an ASCII byte: the decoded listing has the same lines.
void decode_lines_to_utf8(ReportEntries& report) {
    if (report.utf8) return;
    report.listing = utf8_from_cp1251(report.listing);
    report.utf8 = true;
}

const char* report_kind_name(ReportKind kind) {
    switch (kind) {
        case ReportKind::Raw:
            return "raw";
        case ReportKind::Reading:
            return "reading";
        case ReportKind::Report:
            break;
    }
    return "report";
}
