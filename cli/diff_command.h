#pragma once
// `diff [--json] OLD NEW`: what changed from one reading of a printer to another, entry by entry.
// Each file is a raw report, or the JSON of `read --json` or `format --json`. Exits as diff(1)
// does: 0 when they are the same, 1 when they differ, 2 on trouble.

#include <iosfwd>
#include <string>
#include <vector>

inline constexpr int kExitSame = 0;
inline constexpr int kExitDiffer = 1;
// A usage error, a file that cannot be read or is neither kind, or the output failing: not the
// companion's 1 for a file, which here means that the reports differ.
inline constexpr int kExitDiffTrouble = 2;

// `args` starts with "diff"; "-" names standard input.
int run_diff(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err);

// The command's lines of the help text.
void print_diff_usage(std::ostream& out);
