// Turns a Windows-style command line into the word list that exec wants.
#pragma once

#include <cstddef>

/// Splits commandLine as Windows programs split theirs: blanks and tabs
/// separate words outside double quotes; quotes are removed, and "" inside a
/// quoted stretch gives one literal quote and ends the stretch; backslashes
/// count only in front of a quote (2n give n and the quote still quotes,
/// 2n+1 give n and a literal quote). The words go into words, each
/// terminated; argv gets one pointer per word and then a null. 0 when either
/// buffer is too small; nothing is written past wordsSize or argvCount.
int SplitCommandLine(const char* commandLine, char* words, std::size_t wordsSize, char** argv,
                     std::size_t argvCount);
