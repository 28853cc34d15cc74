// The rules file: "@FILE" in place of the target reads the targets from FILE,
// one rule a line ("low", "normal", "high" or "realtime", blanks or tabs,
// then the target to the end of the line without its trailing blanks; "#"
// starts a comment line), and a hold follows its edits.
#pragma once

#include <cstddef>

#include "app/run_options.h"

/// Parses the text of a rules file into rules, which must be empty. 0 when
/// every line was good; then rules holds one row per rule, in the file's
/// order (no block at all for a file without rules). Otherwise nothing is
/// held: the number of the first bad line, or -1 when memory is exhausted.
int ParseRules(const char* text, std::size_t size, TargetRules* rules);

/// Reads runOptions.rulesFile into runOptions.rules, before anything is done.
/// 0, with the reason printed, when it cannot be used.
int LoadRulesFile();

/// In a hold: looks at most once a second whether the rules file changed;
/// when it did, reads it again and puts it in force only when all of it is
/// good, else prints why, once for each version. 1 when new rules are in
/// force.
int FollowRulesFile();
