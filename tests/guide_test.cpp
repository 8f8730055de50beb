// The user guide quotes what the program shows, and ships as CP932 for
// Notepad: it must follow the program's texts and survive the conversion.
// Native only: the texts compared are the UTF-8 sources of both.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/about.h"
#include "cli/version.h"
#include "update/messages.h"

#include <iconv.h>

namespace {

std::string readSource(const char* relative) {
    std::ifstream in(std::string(QL_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool iconvText(const char* to, const char* from, const std::string& text, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::string in = text;
    out.assign(in.size() * 3 + 1, '\0');
    char* source = &in[0];
    char* target = &out[0];
    size_t left = in.size(), room = out.size();
    const bool whole = iconv(cd, &source, &left, &target, &room) != static_cast<size_t>(-1);
    iconv_close(cd);
    out.resize(out.size() - room);
    return whole;
}

// False when some character has no CP932 form of its own. glibc takes a
// wave dash or a minus sign into CP932 one way only: the text must come back
// as it was.
bool toCp932(const std::string& utf8, std::string& out) {
    std::string back;
    return iconvText("CP932", "UTF-8", utf8, out) && iconvText("UTF-8", "CP932", out, back) &&
           back == utf8;
}

// The guide wraps a long message line onto indented lines: joined again,
// each message line reads as on screen. Neither byte is a CP932 trail byte.
std::string joinWrapped(const std::string& text) {
    static const std::regex wrap("\n[ ]*");
    return std::regex_replace(text, wrap, "");
}

// The lines of a text that the program shows, at its line breaks
// (a resource script writes them as \n).
std::vector<std::string> shownLines(const std::string& text) {
    std::vector<std::string> out;
    static const std::regex lineBreak("\n|\\\\n");
    for (std::sregex_token_iterator i(text.begin(), text.end(), lineBreak, -1), end; i != end;
         ++i) {
        if (i->length() > 0) {
            out.push_back(*i);
        }
    }
    return out;
}

class Guide : public ::testing::Test {
protected:
    void SetUp() override {
        raw = readSource("resources/readme-ja.txt");
        ASSERT_FALSE(raw.empty());
        text = joinWrapped(raw);
    }
    void expectQuoted(const std::string& shown, const std::string& where) {
        for (const std::string& line : shownLines(shown)) {
            EXPECT_NE(text.find(line), std::string::npos) << where << ": " << line;
        }
    }
    std::string raw;
    std::string text;
};

TEST_F(Guide, QuotesEveryResultMessageAndTheCompletion) {
    int messages = 0;
    for (int code = 1; code < 256; ++code) {
        if (const char* message = resultMessage(code)) {
            expectQuoted(message, "result " + std::to_string(code));
            ++messages;
        }
    }
    EXPECT_GE(messages, 11);
    expectQuoted(completionMessage(), "completion");
}

// qlupdate shows the English text where a terminal has no Japanese: every
// code with a message has both.
TEST(Messages, EveryResultMessageHasItsEnglishText) {
    for (int code = 1; code < 256; ++code) {
        EXPECT_EQ(resultMessage(code) != nullptr, resultMessageEnglish(code) != nullptr) << code;
    }
    EXPECT_NE(completionMessageEnglish(), nullptr);
}

// Menus, captions and dialog texts; a blank text is replaced at run time,
// and the progress bar's text is its name, never shown.
TEST_F(Guide, QuotesEveryTextOfTheResourceScript) {
    const std::string script = readSource("resources/quillon.rc");
    static const std::regex shown(R"re(^\s*(MENUITEM|POPUP|CAPTION|CONTROL)\s+"([^"]*)"(.*))re");
    std::istringstream lines(script);
    int texts = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, shown) ||
            m[2].str().find_first_not_of(' ') == std::string::npos ||
            m[3].str().find("PROGRESS_CLASS") != std::string::npos) {
            continue;
        }
        expectQuoted(m[2].str(), "quillon.rc");
        ++texts;
    }
    EXPECT_GE(texts, 10);
}

TEST_F(Guide, QuotesTheCopyrightAndTheWebSite) {
    expectQuoted(kCopyrightText, "copyright");
    expectQuoted(kHelpSiteUrl, "web site");
}

// The version is kept in one place; a guide that named it would go stale.
TEST_F(Guide, NamesNoVersion) {
    EXPECT_EQ(raw.find(kQlupdateVersion), std::string::npos);
}

// Notepad shows the CP932 file; a double-byte character takes two columns,
// so a line's width is its length in CP932.
TEST_F(Guide, ConvertsToCp932InLinesNotepadShowsWhole) {
    EXPECT_EQ(raw.find('\r'), std::string::npos) << "LF only; the release adds the CR";
    std::string cp932;
    ASSERT_TRUE(toCp932(raw, cp932)) << "a character has no CP932 form";
    std::istringstream lines(cp932);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        EXPECT_LE(line.size(), 70u) << "line " << number << " is wider than 70 columns";
    }
}

}  // namespace
