#pragma once
// Option-list texts: words separated by single blanks with a trailing blank. A lone "-" word
// is a menu separator, not an option; runs of two or more "-" words are options. Words may
// start with tab characters (menu column breaks) which belong to the word but are not shown.

#include <string>
#include <string_view>
#include <vector>

namespace kolva {

// Number of options in a list (separators removed).
int countOptions(std::string_view list);

// Option word k (0-based, separators skipped, tabs removed); empty when k is out of range.
std::string optionWord(std::string_view list, int k);

// All option words, in order, with tabs removed.
std::vector<std::string> optionWords(std::string_view list);

} // namespace kolva
