#include "cli/command_line.h"

#include <algorithm>

#include "cli/cli_exit.h"

namespace {

bool looks_like_option(std::string_view arg) { return arg.size() > 1 && arg[0] == '-'; }

const CommandOption* find_option(const CommandSyntax& syntax, std::string_view name) {
    const auto found =
        std::find_if(syntax.options.begin(), syntax.options.end(),
                     [name](const CommandOption& option) { return option.name == name; });
    return found == syntax.options.end() ? nullptr : &*found;
}

std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out.append(text).push_back('\'');
    return out;
}

}  // namespace

const std::string& CommandLine::value(std::string_view option) const {
    static const std::string kNone;
    const auto found = options_.find(option);
    return found == options_.end() ? kNone : found->second;
}

bool CommandLine::parse(const CommandSyntax& syntax, const std::vector<std::string>& args,
                        std::ostream& err) {
    const std::string command = quoted(syntax.command);
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || !looks_like_option(arg)) {
            operands_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        const CommandOption* option = find_option(syntax, arg);
        if (option == nullptr) {
            usage_error(err, "unknown option " + quoted(arg) + " for " + command);
            return false;
        }
        std::string value;
        if (!option->value.empty()) {
            const std::string takes = quoted(arg) + " takes " + std::string(option->value);
            if (i + 1 == args.size() || args[i + 1].empty()) {
                usage_error(err, takes);
                return false;
            }
            if (looks_like_option(args[i + 1])) {
                usage_error(err, takes + ", not the option " + quoted(args[i + 1]));
                return false;
            }
            if (has(arg)) {
                usage_error(err, quoted(arg) + " is given twice");
                return false;
            }
            value = args[++i];
        }
        options_[arg] = value;
    }
    if (operands_.size() > syntax.max_operands && syntax.max_operands == 0) {
        usage_error(err, "unexpected argument " + quoted(operands_.front()) + " for " + command);
        return false;
    }
    if (operands_.size() < syntax.min_operands || operands_.size() > syntax.max_operands) {
        usage_error(err, command + " takes " + std::string(syntax.operands));
        return false;
    }
    return true;
}
