#include <gtest/gtest.h>
#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/CTError.h"
#include "core/SystemInfo.h"
#include "core/Translation.h"
#include "support/Process.h"
#include "support/TempHome.h"

namespace wk {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

std::string PoQuote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (c == '\n') {
            quoted += "\\n";
            continue;
        }
        quoted += c;
    }
    return quoted + "\"";
}

// Switches gettext to German messages with catalogues from a temporary
// folder, and puts everything back afterwards.
class TranslationTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* binding = ::bindtextdomain(kTextDomain, nullptr);
        if (binding != nullptr) m_savedBinding = binding;
        if (const char* language = std::getenv("LANGUAGE")) m_savedLanguage = language;
        m_savedMessages = std::setlocale(LC_MESSAGES, nullptr);
        // gettext ignores LANGUAGE in the plain "C" locale; C.UTF-8 is built
        // into glibc, so no generated locale is needed.
        ASSERT_NE(std::setlocale(LC_MESSAGES, "C.UTF-8"), nullptr) << "no C.UTF-8 locale";
        ::setenv("LANGUAGE", "de", 1);
        BindTo(m_dir.Path());
    }

    void TearDown() override {
        if (m_savedLanguage) {
            ::setenv("LANGUAGE", m_savedLanguage->c_str(), 1);
        } else {
            ::unsetenv("LANGUAGE");
        }
        std::setlocale(LC_MESSAGES, m_savedMessages.c_str());
        BindTo(m_savedBinding);
    }

    static void BindTo(const std::string& folder) {
        ::bindtextdomain(kTextDomain, folder.empty() ? nullptr : folder.c_str());
        ::bind_textdomain_codeset(kTextDomain, "UTF-8");
        // Forgets translations looked up under the previous settings.
        ::textdomain(::textdomain(nullptr));
    }

    // Compiles a German catalogue into a folder of its own and binds to it.
    // msgfmt comes with gettext, which the build installs: its lack fails.
    void InstallCatalogue(const Entries& entries) {
        const std::string root = m_dir.Path() + "catalogue" + std::to_string(++m_catalogues);
        const std::string folder = root + "/de/LC_MESSAGES/";
        std::filesystem::create_directories(folder);
        std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n";
        for (const auto& [english, german] : entries)
            po += "\nmsgid " + PoQuote(english) + "\nmsgstr " + PoQuote(german) + "\n";
        test::WriteFile(folder + "wavkeep.po", po);
        ASSERT_EQ(test::RunProgram({"msgfmt", "-o", folder + "wavkeep.mo", folder + "wavkeep.po"},
                                   folder + "out", folder + "err"),
                  0)
            << test::ReadFile(folder + "err") << po;
        BindTo(root);
    }

    test::TempDir m_dir;
    int m_catalogues = 0;
    std::string m_savedBinding;
    std::optional<std::string> m_savedLanguage;
    std::string m_savedMessages;
};

const int kSomeIds[] = {kStrSoundCardMissing, kStrMonday, kStrWavEncoder, kStrErrorCodeFormat,
                        kStrOggConverterLaunchFailed};

TEST_F(TranslationTest, WithoutCatalogueTextsStayAsTheyAre) {
    for (int id : kSomeIds) EXPECT_EQ(LoadTranslatedString(id), LoadStringId(id)) << id;

    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GLTranslateString(buffer, "Monday", sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
    EXPECT_EQ(TranslateText("Monday"), "Monday");
    EXPECT_EQ(CTErrorRecorder(kErrControllerCreateThread).GetText(),
              "Error code: 000054 (0x000036)\nDescription: Controller can not create thread");
}

TEST_F(TranslationTest, CatalogueTranslatesTextsThatFit) {
    const std::string tooLong(kTranslateBufferSize, 'x');
    ASSERT_NO_FATAL_FAILURE(InstallCatalogue({
        {"Monday", "Montag"},
        {"Delete all the events", "Alle Ereignisse l\xC3\xB6schen"},
        {"Invalid name!", tooLong},
        {"Error code: %06i (0x%06X)\nDescription: %s",
         "Fehlercode: %06i (0x%06X)\nBeschreibung: %s"},
        {"Controller can not create thread", "Steuerung kann keinen Thread anlegen"},
    }));

    const struct {
        const char* source;
        int size;
        int result;  // the translation's length, or 0 for "dest untouched"
        const char* text;
    } cases[] = {
        {"Monday", 64, 6, "Montag"},
        {"Monday", 7, 6, "Montag"},
        {"Monday", 6, 0, nullptr},
        {"Monday", 0, 0, nullptr},
        {"Delete all the events", 64, 24, "Alle Ereignisse l\xC3\xB6schen"},
        {"Sunday", 64, 0, nullptr},
        {"", 64, 0, nullptr},  // gettext would answer with the catalogue header
    };
    for (const auto& c : cases) {
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(GLTranslateString(buffer, c.source, c.size), c.result)
            << c.source << " in " << c.size;
        if (c.text != nullptr) {
            EXPECT_STREQ(buffer, c.text);
        } else {
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'))
                << c.source << " in " << c.size;
        }
    }

    EXPECT_EQ(LoadTranslatedString(kStrMonday), "Montag");
    EXPECT_EQ(LoadTranslatedString(kStrSunday), "Sunday");
    EXPECT_EQ(TranslateText("Invalid name!"), "Invalid name!") << "longer than the buffer";
    EXPECT_EQ(CTErrorRecorder(kErrControllerCreateThread).GetText(),
              "Fehlercode: 000054 (0x000036)\nBeschreibung: Steuerung kann keinen Thread anlegen");

    // A translated format that asks for other arguments is not used.
    ASSERT_NO_FATAL_FAILURE(InstallCatalogue({
        {"Error code: %06i (0x%06X)\nDescription: %s", "Fehler %s: %i"},
        {"Controller can not create thread", "Steuerung kann keinen Thread anlegen"},
    }));
    EXPECT_EQ(CTErrorRecorder(kErrControllerCreateThread).GetText(),
              "Error code: 000054 (0x000036)\nDescription: Steuerung kann keinen Thread anlegen");
}

TEST_F(TranslationTest, StartLeavesNumberFormattingAlone) {
    const std::string numeric = std::setlocale(LC_NUMERIC, nullptr);
    const std::string ctype = std::setlocale(LC_CTYPE, nullptr);
    EXPECT_EQ(GLStart(), 1);
    EXPECT_EQ(GLStart(), 1);
    EXPECT_EQ(GLAddThread(CurrentThreadId()), 1);
    EXPECT_EQ(std::setlocale(LC_NUMERIC, nullptr), numeric);
    EXPECT_EQ(std::setlocale(LC_CTYPE, nullptr), ctype);
}

// Ids between and beyond the table's entries have no text.
TEST(StringTableTest, UnknownIdsHaveNoText) {
    for (int id : {0, 61206, 61273, 61281, 61617, -1}) EXPECT_STREQ(LoadStringId(id), "") << id;
}

}  // namespace
}  // namespace wk
