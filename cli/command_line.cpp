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
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (options_ended || !looks_like_option(args[i])) {
            operands_.push_back(args[i]);
        } else if (args[i] == "--") {
            options_ended = true;
        } else if (!take_option(syntax, args, i, err)) {
            return false;
        }
    }
    return operands_fit(syntax, err);
}

bool CommandLine::take_option(const CommandSyntax& syntax, const std::vector<std::string>& args,
                              std::size_t& i, std::ostream& err) {
    const std::string& name = args[i];
    const CommandOption* option = find_option(syntax, name);
    if (option == nullptr) {
        usage_error(err, "unknown option " + quoted(name) + " for " + quoted(syntax.command));
        return false;
    }
    if (option->value.empty()) {
        options_[name];
        return true;
    }
    const std::string takes = quoted(name) + " takes " + std::string(option->value);
    if (i + 1 == args.size() || args[i + 1].empty()) {
        usage_error(err, takes);
        return false;
    }
    if (looks_like_option(args[i + 1])) {
        usage_error(err, takes + ", not the option " + quoted(args[i + 1]));
        return false;
    }
    if (has(name)) {
        usage_error(err, quoted(name) + " is given twice");
        return false;
    }
    options_[name] = args[++i];
    return true;
}

bool CommandLine::operands_fit(const CommandSyntax& syntax, std::ostream& err) const {
    if (syntax.max_operands == 0 && !operands_.empty()) {
        usage_error(err, "unexpected argument " + quoted(operands_.front()) + " for " +
                             quoted(syntax.command));
        return false;
    }
    if (operands_.size() < syntax.min_operands || operands_.size() > syntax.max_operands) {
        usage_error(err, quoted(syntax.command) + " takes " + std::string(syntax.operands));
        return false;
    }
    return true;
}
