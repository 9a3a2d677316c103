#include "core/Translation.h"

#include <algorithm>
#include <array>
#include <clocale>
#include <cstring>
#include <libintl.h>
#include <mutex>
#include <sys/stat.h>

#include "core/SystemInfo.h"

#ifndef WAVKEEP_LOCALEDIR
#define WAVKEEP_LOCALEDIR "/usr/local/share/locale"
#endif

namespace wk {
namespace {

struct StringEntry {
    int id;
    const char* text;
};

constexpr std::array kStrings{
    StringEntry{kStrSoundCardMissing, "Error : sound card does not exist!"},
    StringEntry{kStrSoundCardCapabilities, "Cannot determine sound card capabilities!"},
    StringEntry{kStrTimeShiftBadExtension, "Time shift failed! Bad file extension!!!"},
    StringEntry{kStrTimeShiftDesMissing, "Time shift failed!  'Des' file is missing!!!"},
    StringEntry{kStrTimeShiftTempDesNotCreated,
                "Time shift failed!  'Temp Des' file can't be created!!!"},
    StringEntry{kStrTimeShiftDeleteDesFailed, "Time shift failed!  Error deleting old 'des' file!!!"},
    StringEntry{kStrTimeShiftRenameBakFailed,
                "Time shift failed!  Error renaming bak 'des' file into regular 'des' file!!!"},
    StringEntry{kStrStreamPathNotSelected, "StreamPath is not selected!"},
    StringEntry{kStrDiskSpaceReduced, "Error: Disk space reduced!"},
    StringEntry{kStrInvalidName, "Invalid name!"},
    StringEntry{kStrSoundCardUnsuitable,
                "This program must be able to record and play 16 bit, 44 kHz stereo at the same "
                "time. Your sound card does not support this. The program will close now."},
    StringEntry{kStrSunday, "Sunday"},
    StringEntry{kStrMonday, "Monday"},
    StringEntry{kStrTuesday, "Tuesday"},
    StringEntry{kStrWednesday, "Wednesday"},
    StringEntry{kStrThursday, "Thursday"},
    StringEntry{kStrFriday, "Friday"},
    StringEntry{kStrSaturday, "Saturday"},
    StringEntry{kStrWavEncoder, "Wav encoder"},
    StringEntry{kStrErrorCodeFormat, "Error code: %06i (0x%06X)\nDescription: %s"},
    StringEntry{kStrStartRecordingNullTask, "StartRecording error: can not start NULL task"},
    StringEntry{kStrEmptyTaskFileName, "Can not assign file name to empty task"},
    StringEntry{kStrStreamFolderLocked,
                "Some files in current Stream folder cannot be deleted and renamed. Application "
                "will close."},
    StringEntry{kStrPlaylistDownloaded, "The playlist was downloaded."},
    StringEntry{kStrPlaylistDownloadFailed, "Error: Couldn't download the playlist."},
    StringEntry{kStrDeleteAllEvents, "Delete all the events"},
    StringEntry{kStrConfirmDeleteEvents, "Do you really want to delete the events?"},
    StringEntry{kStrNoPlaylistForStream, "There is no available playlist for this stream"},
    StringEntry{kStrTimecheckPlaylistFailed, "Timecheck failed. Aborting playlist download."},
    StringEntry{kStrTimecheckScheduleFailed, "Timecheck failed. Aborting schedule download."},
    StringEntry{kStrOggConverterLaunchFailed, "Error while trying to launch the ogg converter %s."},
};

constexpr bool ById(const StringEntry& a, const StringEntry& b) { return a.id < b.id; }
static_assert(std::is_sorted(kStrings.begin(), kStrings.end(), ById),
              "the string table is searched by halving");

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int GLStart() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::string folder;
        const std::string exeFolder = GetExecutableFolder();
        if (!exeFolder.empty() && IsDirectory(exeFolder + "locale")) {
            folder = exeFolder + "locale";
        } else {
            folder = WAVKEEP_LOCALEDIR;
        }
        // LC_MESSAGES only: LC_NUMERIC must stay "C" for the files we write,
        // and LC_CTYPE stays as the program set it.
        std::setlocale(LC_MESSAGES, "");
        ::bindtextdomain(kTextDomain, folder.c_str());
        ::bind_textdomain_codeset(kTextDomain, "UTF-8");
    });
    return 1;
}

int GLAddThread(uint32_t /*threadId*/) {
    return 1;
}

int GLTranslateString(char* dest, const char* source, int size) {
    // gettext answers "" with the catalogue header.
    if (dest == nullptr || source == nullptr || source[0] == '\0' || size <= 0) return 0;
    const char* translated = ::dgettext(kTextDomain, source);
    if (translated == nullptr || translated == source) return 0;
    const size_t length = std::strlen(translated);
    if (length == 0 || length + 1 > static_cast<size_t>(size)) return 0;
    std::memcpy(dest, translated, length + 1);
    return static_cast<int>(length);
}

std::string TranslateText(const std::string& text) {
    char buffer[kTranslateBufferSize];
    const int length = GLTranslateString(buffer, text.c_str(), kTranslateBufferSize);
    if (length > 0) return std::string(buffer, static_cast<size_t>(length));
    return text;
}

const char* LoadStringId(int id) {
    auto it = std::lower_bound(kStrings.begin(), kStrings.end(), StringEntry{id, nullptr}, ById);
    if (it == kStrings.end() || it->id != id) return "";
    return it->text;
}

std::string LoadTranslatedString(int id) {
    return TranslateText(LoadStringId(id));
}

}  // namespace wk
