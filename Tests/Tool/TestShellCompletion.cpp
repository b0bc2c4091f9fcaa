// What Tab offers in the `plinth` shell, given the line typed so far.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ShellCompletion.h"

namespace {

using plinthcli::ShellCompletions;
using Words = std::vector<std::string>;

TEST(ShellCompletion, OffersWhatFitsWhereTheWordIsTyped)
{
    const plinthcli::tShellVocabulary vocabulary{{"calib", "limits", "move", "pos", "prop", "quit", "speed"},
                                                 {"X", "Y", "Z", "4"},
                                                 {"Speed", "SpeedMax", "SimTimeScale", "AxisEnabled"}};
    const struct {
        const char* before;
        const char* word;
        Words offered;
    } cases[] = {
        {"", "p", {"pos", "prop"}},
        {"", "", {"calib", "limits", "move", "pos", "prop", "quit", "speed"}},
        {"  ", "mo", {"move"}},
        {"", "Mo", {}}, // commands are typed as they are
        {"move ", "x", {"X="}},
        {"move X=1mm ", "", {"4=", "X=", "Y=", "Z="}},
        {"speed ", "X=5", {}}, // a value is not completed
        {"move ", "--n", {"--no-wait"}},
        {"limits ", "--", {"--clear", "--init"}},
        {"limits --init ", "z", {"Z"}},
        {"limits --clear X ", "", {"4", "X", "Y", "Z"}},
        {"prop ", "", {"get", "list", "set"}},
        {"prop get ", "s", {"stage"}},
        {"prop set ", "y", {"Y"}},
        {"prop get X ", "sp", {"Speed", "SpeedMax"}},
        {"prop get stage ", "Sim", {"SimTimeScale"}},
        {"prop list ", "", {"4", "X", "Y", "Z", "stage"}},
        {"prop list X ", "", {}},
        {"prop get X Speed ", "", {}},
        {"pos ", "", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShellCompletions(c.before, c.word, vocabulary), c.offered)
            << "\"" << c.before << "\" + \"" << c.word << "\"";
}

} // namespace
