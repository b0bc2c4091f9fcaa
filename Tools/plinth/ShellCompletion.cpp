#include "ShellCompletion.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace plinthcli {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix, bool ignoreCase)
{
    if (prefix.size() > text.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(prefix[i]);
        if (ignoreCase ? std::tolower(a) != std::tolower(b) : a != b)
            return false;
    }
    return true;
}

void AddMatches(std::vector<std::string>& out, const std::vector<std::string>& candidates, std::string_view word,
                bool ignoreCase, std::string_view suffix = "")
{
    for (const auto& candidate : candidates)
        if (StartsWith(candidate, word, ignoreCase))
            out.push_back(candidate + std::string(suffix));
}

// The options of the commands that have any, as the shell's parser takes them.
std::vector<std::string> OptionsOf(const std::string& command)
{
    if (command == "move")
        return {"--no-wait"};
    if (command == "limits")
        return {"--clear", "--init"};
    if (command == "prop")
        return {"--type"};
    if (command == "watch")
        return {"--interval"};
    return {};
}

} // namespace

std::vector<std::string> ShellCompletions(std::string_view before, std::string_view word,
                                          const tShellVocabulary& vocabulary)
{
    std::vector<std::string> words;
    {
        std::istringstream in{std::string(before)};
        for (std::string each; in >> each;)
            words.push_back(each);
    }
    std::vector<std::string> out;
    if (words.empty()) {
        AddMatches(out, vocabulary.commands, word, false);
    } else if (!word.empty() && word.front() == '-') {
        AddMatches(out, OptionsOf(words.front()), word, false);
    } else {
        const std::string& command = words.front();
        // The position among the command's arguments, options not counted.
        const auto arguments = static_cast<std::size_t>(
            std::count_if(words.begin() + 1, words.end(), [](const std::string& each) { return each.front() != '-'; }));
        if (command == "prop") {
            if (arguments == 0)
                AddMatches(out, {"get", "list", "set"}, word, false);
            else if (arguments == 1) {
                AddMatches(out, {"stage"}, word, false);
                AddMatches(out, vocabulary.axes, word, true);
            } else if (arguments == 2 && words[1] != "list")
                AddMatches(out, vocabulary.settings, word, true);
        } else if (command == "limits" && (std::find(words.begin(), words.end(), "--init") != words.end() ||
                                           std::find(words.begin(), words.end(), "--clear") != words.end())) {
            AddMatches(out, vocabulary.axes, word, true); // the axes to search, without a value
        } else if (command == "move" || command == "limits" || command == "calib" || command == "speed" ||
                   command == "free") {
            if (word.find('=') == std::string_view::npos)
                AddMatches(out, vocabulary.axes, word, true, "=");
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

} // namespace plinthcli
