// Splitting a line into words, as command files, answer tables and byte lists given on
// a command line are read.
#pragma once

#include <string_view>
#include <vector>

// What separates the words of a line: blanks and tabs.
inline constexpr std::string_view kBlanks = " \t";

// The words of text, in order: the runs of characters that are not separators. Leading,
// trailing and repeated separators give no empty words.
std::vector<std::string_view> SplitWords(std::string_view text, std::string_view separators = kBlanks);
