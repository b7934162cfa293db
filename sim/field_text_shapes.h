#pragma once
// Hostile report shapes made of the texts the formatter's field rules look for: each text, the
// stems of the key texts without their colon, and mixes of them, repeated with something between
// them. The formatter benchmark times them at full size; the reference test checks them, smaller,
// against a plain reading of the formatter's rules.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace field_text_shapes {

struct TextSet {
    const char* name;
    std::vector<std::string_view> texts;
};

inline const std::vector<TextSet>& text_sets() {
    static const std::vector<TextSet> sets = {
        {"ModelName", {"Model Name:"}},
        {"MachineSerial", {"Machine Serial Number:"}},
        {"UsbSerial", {"USB Serial:"}},
        {"FirmwareVersion", {"Firmware Version:"}},
        {"FirmwareEngine", {"Firmware/Engine Version:"}},
        {"OsVerison", {"OS Verison:"}},
        {"Crum", {"CRUM-"}},
        {"Imaging", {"Imaging"}},
        {"Drum", {"Drum"}},
        {"ModelNameStem", {"Model Name"}},
        {"MachineSerialStem", {"Machine Serial Number"}},
        {"UsbSerialStem", {"USB Serial"}},
        {"FirmwareVersionStem", {"Firmware Version"}},
        {"FirmwareEngineStem", {"Firmware/Engine Version"}},
        {"OsVerisonStem", {"OS Verison"}},
        {"AllTexts",
         {"Model Name:", "Machine Serial Number:", "USB Serial:", "Firmware Version:",
          "Firmware/Engine Version:", "OS Verison:", "CRUM-", "Imaging", "Drum"}},
        {"AllStems",
         {"Model Name", "Machine Serial Number", "USB Serial", "Firmware Version",
          "Firmware/Engine Version", "OS Verison"}},
        {"TextsAndStems",
         {"Model Name:", "Model Name", "Machine Serial Number:", "Machine Serial Number",
          "USB Serial:", "USB Serial", "Firmware Version:", "Firmware Version",
          "Firmware/Engine Version:", "Firmware/Engine Version", "OS Verison:", "OS Verison",
          "CRUM-", "Imaging", "Drum"}},
        {"CrumAndClosers", {"CRUM-", "Imaging", "Drum"}},
    };
    return sets;
}

struct Separator {
    const char* name;
    std::string_view text;
};

inline constexpr Separator kSeparators[] = {
    {"Nothing", ""}, {"Space", " "}, {"DoubleSpace", "  "}, {"Colon", ":"}, {"ColonGap", ":  "}};

// One long line, or short lines of kUnitsPerShortLine texts each.
inline constexpr std::size_t kUnitsPerShortLine = 3;

// The texts of `set` in turn, each followed by `separator` and by `gap` bytes 'x' (no first
// letter of a field text), cut to `size` bytes.
inline std::string text_shape(const TextSet& set, std::string_view separator, bool one_line,
                              std::size_t size, std::size_t gap = 0) {
    std::string raw;
    for (std::size_t unit = 0; raw.size() < size; ++unit) {
        raw += set.texts[unit % set.texts.size()];
        raw += separator;
        raw.append(gap, 'x');
        if (!one_line && unit % kUnitsPerShortLine == kUnitsPerShortLine - 1) raw += '\r';
    }
    raw.resize(size);
    return raw;
}

}  // namespace field_text_shapes
