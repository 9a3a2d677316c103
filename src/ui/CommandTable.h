#pragma once
// The program's command set as data: for every command its toolbar
// button(s), tooltip, key, command id and the part of the program that
// performs it. The shell builds its toolbar, its shortcuts and its routing
// from this one table, and the tests read it; nothing restates it.
//
// A button or key never acts by itself: it posts its command id to the main
// window, which hands the command to its performer (Route). Most keys stand
// for their button; Insert, Enter and Delete stand for the schedule's
// command ids directly, so they reach the schedule whichever view is shown.
//
// Keys are described without a toolkit: modifiers, a key name, and whether
// the key must be on the keypad or is a typed character. The shell maps the
// names onto its own key codes; MatchKey decides which entry a key press is.
//
// Threading: the table is immutable; every function may run on any thread.

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wk::ui {

// Command ids, posted to the main window.
enum CommandId : int {
    kCmdNone = 0,
    kCmdSoundSettings = 156,
    kCmdUpload = 32282,
    kCmdScheduleView = 32771,
    kCmdPlay = 32772,
    kCmdStopPlaying = 32773,
    kCmdPlayCurrentTrack = 32774,
    kCmdWizard = 32775,
    kCmdActiveState = 32776,
    kCmdCreateScheduleItem = 32777,
    kCmdModifyScheduleItem = 32778,
    kCmdDeleteScheduleItem = 32779,
    kCmdStreamView = 32781,
    kCmdOptions = 32791,
    kCmdZoomIn = 32793,
    kCmdZoomOut = 32794,
    kCmdSetTrackEnd = 32795,
    kCmdSetTrackStart = 32796,
    kCmdSplitTrack = 32798,
    kCmdEditChannels = 32799,
    kCmdImportTracks = 32800,
    kCmdDeleteInvalidTracks = 32801,
    kCmdDeleteTrack = 32802,
    kCmdZoom5Min = 32803,
    kCmdZoom1Hour = 32804,
    kCmdZoom1Day = 32805,
    kCmdCreateMp3s = 32820,
    kCmdWebSite = 32826,
    kCmdTimeShift = 32827,
    kCmdStreamDeleteMarkStart = 32828,
    kCmdDeleteMarkedStreamPart = 32829,
    kCmdMinimize = 32830,
    kCmdScheduleDownload = 32839,
    kCmdSilenceDetection = 32990,
    kCmdBreakStart = 32991,
    kCmdBreakEnd = 32992,
    kCmdRecording = 32994,
    kCmdDeleteAllStream = 32995,
    kCmdPlaylistDownload = 32996,
    kCmdAbout = 57664,
    kCmdExit = 57665,
};

// Who performs a command. Dialog: the main dialog itself (the skin chooser).
enum class Performer { Frame, Document, StreamView, ScheduleView, Dialog };

// The view the main window shows.
enum class View { Stream, Description, Schedule };

enum Modifier : unsigned { kModNone = 0, kModCtrl = 1, kModAlt = 2, kModShift = 4 };

enum class KeyKind {
    None,       // no key
    Named,      // a key by name ("Q", "F10", "Insert", "Enter", "Delete"), on the
                // keypad or not
    Keypad,     // a key of the numeric keypad, named by its symbol ("+", "5", "/")
    Character,  // a typed character, from whatever key the keyboard layout has it on
};

struct KeySpec {
    KeyKind kind = KeyKind::None;
    unsigned modifiers = kModNone;
    std::string_view name;
    // Stands for the command id itself rather than for the button.
    bool direct = false;
    bool operator==(const KeySpec&) const = default;
};

struct CommandEntry {
    std::array<int, 3> buttons{};  // control ids, unused ones 0; buttons[0] is the main one
    std::string_view tooltip;      // "" for a button without one
    KeySpec key;
    int command = kCmdNone;  // kCmdNone: the performer acts on the button itself
    Performer performer = Performer::Frame;
    std::string_view action;  // what the performer does, for people reading the table

    bool HasButton(int id) const { return id != 0 && (buttons[0] == id || buttons[1] == id || buttons[2] == id); }
};

// The whole table, in toolbar order.
std::span<const CommandEntry> Commands();

const CommandEntry* FindByButton(int buttonId);
// The entry of a command id (kCmdNone finds nothing).
const CommandEntry* FindByCommand(int commandId);

// A key press as the shell sees it: its modifiers, the key's name as in
// KeySpec, whether it is on the keypad, and the character it types ("" for
// none).
struct KeyPress {
    unsigned modifiers = kModNone;
    std::string name;
    bool keypad = false;
    std::string text;
};

// The entry a key press triggers, or nullptr. A keypad key matches a keypad
// entry first, then a named one; a key no keypad or named entry takes
// matches a character entry by the character it types, whatever Shift does,
// but not with Ctrl or Alt held. So "/" on the keypad zooms to a day, and
// "/" typed on the main keyboard, on any layout, splits a track.
const CommandEntry* MatchKey(const KeyPress& press);

// Who gets `entry`'s command while `active` is shown, or nothing when it
// reaches no one. The stream view's commands need the stream view shown;
// the schedule view's reach it from every view; the frame, the document
// and the dialog take theirs always.
std::optional<Performer> Route(const CommandEntry& entry, View active);

// "Ctrl+Q", "Shift+B", "Num +", "/"; "" for no key.
std::string KeyText(const KeySpec& key);

}  // namespace wk::ui
