#pragma once
// The arguments of one command, read by the same rules for every command:
//  - an argument that begins with '-' (other than "-" alone) is an option, and one the command
//    does not take is a usage error;
//  - an option that takes a value takes the next argument, which must be there, not empty and
//    not an option (`read --device --json` is an error, not the device "--json");
//  - "--" ends the options: what follows is operands (a FILE that begins with '-');
//  - options and operands come in any order; a value given twice is an error (one would be lost).
// A command states what it takes in a CommandSyntax; the errors are said as usage_error says them.

#include <cstddef>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One option of a command: a flag ("--json"), or one that takes a value ("--raw" FILE).
struct CommandOption {
    std::string_view name;
    std::string_view value = {};  // what it takes, as the usage names it ("FILE"); empty: a flag
};

// What a command takes: its options, and between `min_operands` and `max_operands` operands,
// `operands` saying which ("FILE", "OLD and NEW") when too few or too many are given.
struct CommandSyntax {
    std::string_view command;
    std::vector<CommandOption> options;
    std::size_t min_operands = 0;
    std::size_t max_operands = 0;
    std::string_view operands = {};
};

// A command's arguments, read.
class CommandLine {
public:
    bool has(std::string_view option) const { return options_.count(option) != 0; }
    // The value of an option that takes one; empty when it was not given.
    const std::string& value(std::string_view option) const;
    const std::vector<std::string>& operands() const { return operands_; }

    // Reads `args` (the arguments after the command); false, with the usage error said on `err`,
    // when they do not fit `syntax`.
    bool parse(const CommandSyntax& syntax, const std::vector<std::string>& args,
               std::ostream& err);

private:
    // The option at args[i] (and its value, i then at it); false with the usage error said.
    bool take_option(const CommandSyntax& syntax, const std::vector<std::string>& args,
                     std::size_t& i, std::ostream& err);
    bool operands_fit(const CommandSyntax& syntax, std::ostream& err) const;

    std::map<std::string, std::string, std::less<>> options_;  // name: value ("" for a flag)
    std::vector<std::string> operands_;
};
