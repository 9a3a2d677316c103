#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <string>

#include "ui/CommandTable.h"

namespace wk::ui {
namespace {

// The key a tooltip names in its last parentheses, in KeyText's spelling,
// upper case: "zoom in (Num. +)" -> "NUM +", "(DEL)" -> "DELETE".
std::string TooltipKey(std::string_view tooltip) {
    const size_t open = tooltip.rfind('(');
    if (open == std::string_view::npos || tooltip.back() != ')') return {};
    std::string key(tooltip.substr(open + 1, tooltip.size() - open - 2));
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::toupper(c); });
    if (key.rfind("NUM. ", 0) == 0) key.erase(3, 1);
    return key == "DEL" || key.ends_with("+DEL") ? key + "ETE" : key;
}

TEST(CommandTableTest, IdsAndKeysAreUniqueAndTooltipsNameTheKey) {
    std::set<int> buttons, commands;
    std::set<std::string> keys;
    for (const CommandEntry& e : Commands()) {
        SCOPED_TRACE(e.buttons[0]);
        for (int id : e.buttons)
            EXPECT_TRUE(id == 0 || buttons.insert(id).second) << "button " << id;
        EXPECT_TRUE(e.command == kCmdNone || commands.insert(e.command).second);
        if (e.key.kind != KeyKind::None) {
            EXPECT_TRUE(keys.insert(std::to_string(static_cast<int>(e.key.kind)) + KeyText(e.key)).second);
            std::string text = KeyText(e.key);
            std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
            EXPECT_EQ(TooltipKey(e.tooltip), text) << e.tooltip;
        }
        // Only the skin chooser acts without a command id.
        EXPECT_EQ(e.command == kCmdNone, e.performer == Performer::Dialog || e.buttons[0] == 1006);
        EXPECT_EQ(FindByButton(e.buttons[0]), &e);
    }
    EXPECT_EQ(FindByButton(1038), FindByButton(1030));
    EXPECT_EQ(FindByButton(1009), nullptr);
}

TEST(CommandTableTest, KeysReachTheirPerformerFromEachView) {
    constexpr std::optional<Performer> kNowhere;
    const struct {
        KeyPress press;
        int button;  // 0: the key does nothing
        View view;
        std::optional<Performer> to;
    } cases[] = {
        // Insert, Enter and Delete are the schedule's, whatever view is shown.
        {{kModNone, "Insert", false, ""}, 1025, View::Stream, Performer::ScheduleView},
        {{kModNone, "Enter", true, ""}, 1026, View::Description, Performer::ScheduleView},
        {{kModNone, "Delete", false, ""}, 1027, View::Stream, Performer::ScheduleView},
        {{kModCtrl, "Delete", false, ""}, 1046, View::Stream, Performer::StreamView},
        {{kModCtrl, "Delete", false, ""}, 1046, View::Schedule, kNowhere},
        // "/" on the keypad is a keypad key; typed elsewhere it splits.
        {{kModNone, "/", true, "/"}, 1018, View::Stream, Performer::StreamView},
        {{kModNone, "/", false, "/"}, 1051, View::Stream, Performer::StreamView},
        {{kModShift, "7", false, "/"}, 1051, View::Stream, Performer::StreamView},
        {{kModCtrl, "/", false, "/"}, 0, View::Stream, kNowhere},
        {{kModNone, "+", true, "+"}, 1014, View::Stream, Performer::StreamView},
        {{kModNone, "+", false, "+"}, 0, View::Stream, kNowhere},
        {{kModNone, "5", true, "5"}, 1016, View::Stream, Performer::StreamView},
        {{kModShift, "B", false, "B"}, 1019, View::Stream, Performer::StreamView},
        {{kModNone, "B", false, "b"}, 0, View::Stream, kNowhere},
        {{kModShift, "D", false, ""}, 1034, View::Schedule, kNowhere},
        {{kModShift, "I", false, ""}, 1029, View::Schedule, Performer::Document},
        {{kModCtrl, "K", false, ""}, 1023, View::Schedule, Performer::Dialog},
        {{kModCtrl, "Q", false, ""}, 1002, View::Description, Performer::Frame},
        {{kModAlt, "W", false, ""}, 1030, View::Stream, Performer::Frame},
        {{kModCtrl, "W", false, ""}, 0, View::Stream, kNowhere},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.press.modifiers) + " " + c.press.name + (c.press.keypad ? " keypad" : ""));
        const CommandEntry* e = MatchKey(c.press);
        ASSERT_EQ(e ? e->buttons[0] : 0, c.button);
        if (e == nullptr) continue;
        EXPECT_EQ(Route(*e, c.view), c.to);
        // A direct key and its button carry the same command.
        EXPECT_EQ(FindByCommand(e->command), e->command == kCmdNone ? nullptr : e);
    }
}

}  // namespace
}  // namespace wk::ui
