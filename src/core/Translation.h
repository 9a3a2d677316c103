#pragma once
// User texts and their translation through gettext (text domain "wavkeep").
//
// Every text shown to the user goes through TranslateText: the English text
// is the key, and a text without translation (or whose translation does not
// fit the caller's buffer) stays as it is.

#include <cstdint>
#include <string>

namespace wk {

inline constexpr const char* kTextDomain = "wavkeep";
inline constexpr int kTranslateBufferSize = 2048;

// Binds the text domain to the "locale" folder beside the executable if there
// is one, else to the installed locale folder, and takes the user's language
// for messages only (numbers keep their format). Once per process; returns 1.
int GLStart();
// Threads need no preparation; returns 1.
int GLAddThread(uint32_t threadId);
// Copies the translation of source into dest (size bytes) and returns its
// length. 0, with dest untouched, when there is no translation, it does not
// fit, or source is empty.
int GLTranslateString(char* dest, const char* source, int size);
// The translation of text, or text itself.
std::string TranslateText(const std::string& text);

enum StringId : int {
    kStrSoundCardMissing = 61207,
    kStrSoundCardCapabilities = 61208,
    kStrTimeShiftBadExtension = 61233,
    kStrTimeShiftDesMissing = 61234,
    kStrTimeShiftTempDesNotCreated = 61235,
    kStrTimeShiftDeleteDesFailed = 61236,
    kStrTimeShiftRenameBakFailed = 61237,
    kStrStreamPathNotSelected = 61238,
    kStrDiskSpaceReduced = 61239,
    kStrInvalidName = 61240,
    kStrSoundCardUnsuitable = 61248,
    kStrSunday = 61274,
    kStrMonday = 61275,
    kStrTuesday = 61276,
    kStrWednesday = 61277,
    kStrThursday = 61278,
    kStrFriday = 61279,
    kStrSaturday = 61280,
    kStrWavEncoder = 61300,
    kStrErrorCodeFormat = 61396,
    kStrStartRecordingNullTask = 61401,
    kStrEmptyTaskFileName = 61402,
    kStrStreamFolderLocked = 61409,
    kStrPlaylistDownloaded = 61435,
    kStrPlaylistDownloadFailed = 61436,
    kStrDeleteAllEvents = 61437,
    kStrConfirmDeleteEvents = 61439,
    kStrNoPlaylistForStream = 61454,
    kStrTimecheckPlaylistFailed = 61479,
    kStrTimecheckScheduleFailed = 61480,
    kStrOggConverterLaunchFailed = 61616,
};

// The English text of a string id; "" for an unknown id.
const char* LoadStringId(int id);
// TranslateText(LoadStringId(id)).
std::string LoadTranslatedString(int id);

}  // namespace wk
