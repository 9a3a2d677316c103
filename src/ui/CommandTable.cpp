#include "ui/CommandTable.h"

namespace wk::ui {
namespace {

using P = Performer;

constexpr KeySpec NoKey{};
constexpr KeySpec Ctrl(std::string_view name) {
    return {KeyKind::Named, kModCtrl, name};
}
constexpr KeySpec Alt(std::string_view name) {
    return {KeyKind::Named, kModAlt, name};
}
constexpr KeySpec Shift(std::string_view name) {
    return {KeyKind::Named, kModShift, name};
}
constexpr KeySpec Plain(std::string_view name) {
    return {KeyKind::Named, kModNone, name};
}
constexpr KeySpec Direct(std::string_view name) {
    return {KeyKind::Named, kModNone, name, true};
}
constexpr KeySpec Keypad(std::string_view name) {
    return {KeyKind::Keypad, kModNone, name};
}
constexpr KeySpec Typed(std::string_view name) {
    return {KeyKind::Character, kModNone, name};
}

// The web-site buttons' tooltip names the key they really have; an older
// text named Ctrl+W, which does nothing here.
constexpr CommandEntry kTable[] = {
    {{1002}, "exit program (CTRL+Q)", Ctrl("Q"), kCmdExit, P::Frame, "exit the program"},
    {{1003}, "options (CTRL+O)", Ctrl("O"), kCmdOptions, P::Document, "options dialog"},
    {{1004}, "about wavkeep (F10)", Plain("F10"), kCmdAbout, P::Frame, "About box"},
    {{1005}, "edit channels (CTRL+C)", Ctrl("C"), kCmdEditChannels, P::Frame, "channel list dialog"},
    {{1006}, "channels", NoKey, kCmdNone, P::Frame, "channel combo: make the chosen stream the active one"},
    {{1007}, "stream view (CTRL+P)", Ctrl("P"), kCmdStreamView, P::Frame, "show the stream view"},
    {{1008}, "schedule view (CTRL+S)", Ctrl("S"), kCmdScheduleView, P::Frame, "show the schedule view"},
    {{1012}, "play (ALT+P)", Alt("P"), kCmdPlay, P::StreamView, "play the selected stream"},
    {{1013}, "stop playing (ALT+S)", Alt("S"), kCmdStopPlaying, P::StreamView, "stop playback"},
    {{1014}, "zoom in (Num. +)", Keypad("+"), kCmdZoomIn, P::StreamView, "zoom in"},
    {{1015}, "zoom out (Num -)", Keypad("-"), kCmdZoomOut, P::StreamView, "zoom out"},
    {{1016}, "zoom 5 min view (Num. 5)", Keypad("5"), kCmdZoom5Min, P::StreamView, "5-minute window"},
    {{1017}, "zoom 1 hour view (Num. *)", Keypad("*"), kCmdZoom1Hour, P::StreamView, "1-hour window"},
    {{1018}, "zoom 1 day view (Num. /)", Keypad("/"), kCmdZoom1Day, P::StreamView, "1-day window"},
    {{1019}, "set new track start (Shift+B)", Shift("B"), kCmdSetTrackStart, P::StreamView, "start of a description"},
    {{1020}, "set new track end - enter id3 tags (Shift+E)", Shift("E"), kCmdSetTrackEnd, P::StreamView,
     "end of a description"},
    {{1051}, "Split the current track (/)", Typed("/"), kCmdSplitTrack, P::StreamView, "split a description"},
    {{1023}, "choose skin (CTRL+K)", Ctrl("K"), kCmdNone, P::Dialog, "skin chooser, then reload of the skin"},
    {{1025}, "create schedule item (Insert)", Direct("Insert"), kCmdCreateScheduleItem, P::ScheduleView, "new task"},
    {{1026}, "modify schedule item (ENTER)", Direct("Enter"), kCmdModifyScheduleItem, P::ScheduleView, "edit task"},
    {{1027}, "delete schedule item (DEL)", Direct("Delete"), kCmdDeleteScheduleItem, P::ScheduleView, "delete task"},
    {{1028}, "shift time of tracks on stream (CTRL+T)", Ctrl("T"), kCmdTimeShift, P::Frame,
     "time shifting of the stream's descriptions"},
    {{1029}, "delete invalid tracks (Shift+I)", Shift("I"), kCmdDeleteInvalidTracks, P::Document,
     "delete descriptions not wholly recorded"},
    {{1030, 1037, 1038}, "visit the service's web site (ALT+W)", Alt("W"), kCmdWebSite, P::Frame,
     "open DefaultURL in the browser"},
    {{1032}, "sound settings", NoKey, kCmdSoundSettings, P::Document, "sound settings dialog"},
    {{1033}, "import tracks (Shift+L)", Shift("L"), kCmdImportTracks, P::Document, "import a description file"},
    {{1034}, "delete track (Shift+D)", Shift("D"), kCmdDeleteTrack, P::StreamView, "delete the selected description"},
    {{1035}, "create mp3's (CTRL+M)", Ctrl("M"), kCmdCreateMp3s, P::Document, "export the described tracks"},
    {{1036}, "upload descriptions to the service (CTRL+U)", Ctrl("U"), kCmdUpload, P::Document,
     "upload the active stream's descriptions"},
    {{1039}, "silence detection (ALT+J)", Alt("J"), kCmdSilenceDetection, P::StreamView, "silence detection"},
    {{1040}, "stream delete - mark start (Shift+F)", Shift("F"), kCmdStreamDeleteMarkStart, P::StreamView,
     "remember the start of a part to delete"},
    {{1041}, "delete marked stream part (Shift+G)", Shift("G"), kCmdDeleteMarkedStreamPart, P::StreamView,
     "delete from the remembered start to the cursor"},
    {{1042}, "set start of break (Alt+B)", Alt("B"), kCmdBreakStart, P::StreamView, "start of a break"},
    {{1043}, "set  end of break (Alt+E)", Alt("E"), kCmdBreakEnd, P::StreamView, "end of a break"},
    {{1044}, "minimize", NoKey, kCmdMinimize, P::Frame, "minimise the main window"},
    {{1045}, "recording (Alt+R)", Alt("R"), kCmdRecording, P::StreamView, "start or stop recording"},
    {{1046}, "delete all stream (CTRL+DEL)", Ctrl("Delete"), kCmdDeleteAllStream, P::StreamView,
     "delete the whole selected stream, after asking"},
    {{1047}, "", NoKey, kCmdPlayCurrentTrack, P::StreamView, "play the current track"},
    {{1048}, "'Download available Playlists", NoKey, kCmdPlaylistDownload, P::Frame, "playlist download"},
    {{1049}, "Wizard", NoKey, kCmdWizard, P::Frame, "set-up wizard"},
    {{1050}, "state on/off", NoKey, kCmdActiveState, P::Frame, "active state on or off"},
    {{1180}, "Download new schedule entries", NoKey, kCmdScheduleDownload, P::Frame, "schedule download"},
};

bool Matches(const KeySpec& key, KeyKind kind, const KeyPress& press) {
    return key.kind == kind && key.modifiers == press.modifiers && key.name == press.name;
}

const CommandEntry* FindKey(KeyKind kind, const KeyPress& press) {
    for (const CommandEntry& e : kTable)
        if (Matches(e.key, kind, press)) return &e;
    return nullptr;
}

}  // namespace

std::span<const CommandEntry> Commands() {
    return kTable;
}

const CommandEntry* FindByButton(int buttonId) {
    for (const CommandEntry& e : kTable)
        if (e.HasButton(buttonId)) return &e;
    return nullptr;
}

const CommandEntry* FindByCommand(int commandId) {
    if (commandId == kCmdNone) return nullptr;
    for (const CommandEntry& e : kTable)
        if (e.command == commandId) return &e;
    return nullptr;
}

const CommandEntry* MatchKey(const KeyPress& press) {
    if (press.keypad) {
        if (const CommandEntry* e = FindKey(KeyKind::Keypad, press)) return e;
    }
    if (const CommandEntry* e = FindKey(KeyKind::Named, press)) return e;
    if (press.text.empty() || (press.modifiers & (kModCtrl | kModAlt)) != 0) return nullptr;
    for (const CommandEntry& e : kTable)
        if (e.key.kind == KeyKind::Character && e.key.name == press.text) return &e;
    return nullptr;
}

std::optional<Performer> Route(const CommandEntry& entry, View active) {
    if (entry.performer == Performer::StreamView && active != View::Stream) return std::nullopt;
    return entry.performer;
}

std::string KeyText(const KeySpec& key) {
    if (key.kind == KeyKind::None) return {};
    std::string text;
    if (key.modifiers & kModCtrl) text += "Ctrl+";
    if (key.modifiers & kModAlt) text += "Alt+";
    if (key.modifiers & kModShift) text += "Shift+";
    if (key.kind == KeyKind::Keypad) text += "Num ";
    text += key.name;
    return text;
}

}  // namespace wk::ui
