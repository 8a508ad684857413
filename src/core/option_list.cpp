#include "core/option_list.h"

namespace kolva {
namespace {

// Walks the words of a list (split on single blanks) and hands every option word to `fn`,
// tabs still attached, skipping lone "-" separators. `fn` returns false to stop early.
// Counting and display both go through here so they can never disagree.
template <class Fn> void forEachOption(std::string_view list, Fn&& fn) {
    std::size_t pos = 0;
    auto nextWord = [&](std::string_view& word) {
        if (pos >= list.size()) return false; // the piece after the final blank is empty
        const std::size_t end = list.find(' ', pos);
        if (end == std::string_view::npos) {
            word = list.substr(pos);
            pos = list.size();
            // A closing run of tabs (a column break after the last word) is not an option.
            return word.find_first_not_of('\t') != std::string_view::npos;
        }
        word = list.substr(pos, end - pos);
        pos = end + 1;
        return true;
    };

    std::string_view prev, cur, next;
    bool hasPrev = false;
    bool hasCur = nextWord(cur);
    while (hasCur) {
        const bool hasNext = nextWord(next);
        const bool separator = cur == "-" && !(hasPrev && prev == "-") && !(hasNext && next == "-");
        if (!separator && !fn(cur)) return;
        prev = cur;
        hasPrev = true;
        cur = next;
        hasCur = hasNext;
    }
}

std::string withoutTabs(std::string_view word) {
    std::string out;
    out.reserve(word.size());
    for (char c : word)
        if (c != '\t') out.push_back(c);
    return out;
}

} // namespace

int countOptions(std::string_view list) {
    int n = 0;
    forEachOption(list, [&](std::string_view) {
        ++n;
        return true;
    });
    return n;
}

std::string optionWord(std::string_view list, int k) {
    if (k < 0) return {};
    std::string out;
    int i = 0;
    forEachOption(list, [&](std::string_view word) {
        if (i++ < k) return true;
        out = withoutTabs(word);
        return false;
    });
    return out;
}

std::vector<std::string> optionWords(std::string_view list) {
    std::vector<std::string> words;
    forEachOption(list, [&](std::string_view word) {
        words.push_back(withoutTabs(word));
        return true;
    });
    return words;
}

} // namespace kolva
