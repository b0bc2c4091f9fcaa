#pragma once

// What Tab completes in the `plinth` shell: the commands, their fixed words and options, the axes
// and the setting names. Nothing here knows readline or a stage; the shell hands over the words
// it knows, so the rules are tried as they are.

#include <string>
#include <string_view>
#include <vector>

namespace plinthcli {

// The words the shell knows at the moment.
struct tShellVocabulary {
    std::vector<std::string> commands; // the shell's commands ("move", "quit", ...)
    std::vector<std::string> axes;     // the stage's axes as they are typed: "X", "Y", "Z" or numbers
    std::vector<std::string> settings; // the registered setting names ("Speed", "SimTimeScale", ...)
};

// The words that may stand where `word` is being typed, `before` being the line up to it (the
// words already typed and the blanks after them): commands first on a line; for prop its action,
// then "stage" or an axis, then a setting name; for commands that take AXIS=VALUE an axis with
// its "=" ("X="); the command's options where a word starts with '-'. Axes and settings match
// their prefix ignoring case, commands and options exactly; the words keep the vocabulary's
// spelling and are sorted.
std::vector<std::string> ShellCompletions(std::string_view before, std::string_view word,
                                          const tShellVocabulary& vocabulary);

} // namespace plinthcli
