// The user guide quotes what the program shows, and ships as CP932 for
// Notepad: it must follow the program's texts and survive the conversion.
// Native only: the texts compared are the UTF-8 sources of both.
#include <gtest/gtest.h>

#include <algorithm>
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
    // The joined text of the chapter whose heading ends with title.
    std::string chapter(const std::string& title) const {
        const size_t from = text.find(title + "】");
        return from == std::string::npos ? "" : text.substr(from, text.find("【", from) - from);
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
    expectQuoted(sessionHeldMessage(), "session end");
}

// Each message's explanation in the list names every case of its code, and
// says that nothing was written exactly where nothing can have been.
TEST_F(Guide, ExplainsEveryCaseOfEachCode) {
    const std::string list = chapter("メッセージの一覧");
    std::vector<std::pair<size_t, int>> at;  // where each code's message stands
    for (int code = 1; const char* message = resultMessage(code); ++code) {
        at.push_back({list.find(joinWrapped(message)), code});
    }
    std::sort(at.begin(), at.end());
    at.push_back({list.size(), 0});
    for (size_t i = 0; i + 1 < at.size(); ++i) {
        const ResultCases* cases = resultCases(at[i].second);
        ASSERT_TRUE(at[i].first != std::string::npos && cases != nullptr) << at[i].second;
        const std::string said = list.substr(at[i].first, at[i + 1].first - at[i].first);
        for (const char* c : cases->cases) {
            EXPECT_NE(said.find(c), std::string::npos) << at[i].second << ": " << c;
        }
        EXPECT_EQ(said.find("SDカードには何も書き込んでいません") == std::string::npos,
                  cases->mayHaveWritten)
            << at[i].second;
    }
}

// Step (n) of an update is the one the table names at n, and there is no
// other: the device off before the card comes out, Windows' format offer.
TEST_F(Guide, GivesEveryStepOfAnUpdateInOrder) {
    // clang-format off
    static const char* const kSteps[] = {
        "ダウンロード", "パソコン本体のフォルダー", "電源が切れた", "フォーマットする必要",
        "QuillonUpdate.exe をダブルクリック", "「ドライブ名」で", "「アップデート ファイル」の欄",
        "「アップデート開始」ボタン", "「警告」", "「再確認」", "「アップデート処理中」", "「終了」"};
    // clang-format on
    const std::string steps = chapter("アップデートの手順");
    const auto at = [&](size_t n) { return steps.find("(" + std::to_string(n) + ")"); };
    for (size_t n = 1; n <= std::size(kSteps); ++n) {
        ASSERT_NE(at(n), std::string::npos) << n;
        EXPECT_NE(steps.substr(at(n), at(n + 1) - at(n)).find(kSteps[n - 1]), std::string::npos)
            << n << ": " << kSteps[n - 1];
    }
    EXPECT_EQ(at(std::size(kSteps) + 1), std::string::npos);
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

// And how a Windows user checks the download, and what Windows asks.
TEST_F(Guide, QuotesTheCopyrightAndTheWebSite) {
    expectQuoted(kCopyrightText, "copyright");
    for (const char* said : {kHelpSiteUrl, "Get-FileHash", "certutil -hashfile", "SHA256SUMS",
                             "Windows によって PC が保護されました", "この不明な発行元"}) {
        EXPECT_NE(chapter("ダウンロードと、ファイルの確かめ方").find(said), std::string::npos)
            << said;
    }
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
