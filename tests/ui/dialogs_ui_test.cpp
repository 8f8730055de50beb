// The help menu's windows and the commands' trace lines, driven from the
// menu bar with the keyboard as a user would: the help dialog with its link,
// the copyright box, the licence window. Runs QuillonUpdate.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/ui/harness.h"

using namespace ui;

namespace {

const char kSite[] = "https://www.quillon.example/zr-7040/";

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) {
        ++n;
    }
    return n;
}

std::vector<std::string> staticTexts(HWND dialog) {
    std::vector<std::string> out;
    for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        if (_stricmp(className(c).c_str(), "Static") == 0) {
            out.push_back(windowText(c));
        }
    }
    return out;
}

// The program with its main window off the screen's centre, so that only
// deliberate placing lands a window on it. Counts the commands it is sent
// and, at the end, expects one trace line for each.
class HelpMenu : public ::testing::Test {
protected:
    void SetUp() override {
        main = app.startAndFindWindow();
        ASSERT_NE(main, nullptr);
        SetWindowPos(main, nullptr, 37, 29, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    void TearDown() override {
        PostMessageA(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(app.waitForExit(), 0);
        const std::string out = app.output();
        for (const auto& [id, times] : sent) {
            EXPECT_EQ(countOf(out, "mainwindow : commandProc " + std::to_string(id) + "\n"), times)
                << "command " << id << "\n"
                << out;
        }
    }

    // Chooses item of the help menu ("ヘルプ" 4011, "COPYRIGHT" 4013,
    // "LICENSES" 4014) and waits for the window it opens.
    HWND choose(int item, const char* cls, const char* caption) {
        static const int ids[] = {4011, 4013, 4014};
        chooseMenu(main, 1, item);
        ++sent[ids[item]];
        HWND w = waitForWindow(app.id(), cls, caption);
        EXPECT_NE(w, nullptr) << caption;
        return w;
    }

    bool gone(HWND window) {
        return waitFor([&] { return !IsWindow(window); });
    }

    TempFolder folder;
    App app{folder};
    HWND main = nullptr;
    std::map<int, int> sent;
};

TEST_F(HelpMenu, HelpDialogIsCentredAndItsLinkOpensTheSiteEachClickWithoutClosingIt) {
    for (const bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "OK");
        HWND dialog = choose(0, "#32770", "ヘルプ");
        ASSERT_NE(dialog, nullptr);
        RECT p, w;
        GetWindowRect(main, &p);
        GetWindowRect(dialog, &w);
        EXPECT_EQ(w.left, (p.left + p.right + w.left - w.right) >> 1);
        EXPECT_EQ(w.top, (p.top + p.bottom + w.top - w.bottom) >> 1);
        if (closeBox) {
            ASSERT_TRUE(clickCloseBox(dialog));
            EXPECT_TRUE(gone(dialog));
            continue;
        }
        EXPECT_EQ(staticTexts(dialog),
                  (std::vector<std::string>{"使い方は公式HPにあるマニュアルページ内の\n"
                                            "【バックアップについて】をご参照下さい。",
                                            "公式HP：", " "}));
        HWND link = GetDlgItem(dialog, 4016);
        ASSERT_NE(link, nullptr);
        EXPECT_TRUE(waitFor([&] { return pixelsOf(link, RGB(0, 0, 255)) > 50; }))
            << "no blue link text";
        screenshot("dialog-help.png", dialog);
        // The test prefix opens https addresses by appending them to a file
        // in the working directory (scripts/wine-prefix.sh).
        const std::string opened = folder.file("opened-links.txt");
        for (int n = 1; n <= 2; ++n) {
            SetForegroundWindow(dialog);
            Sleep(GetDoubleClickTime() + 100);  // two clicks, not a double click
            click(link);
            EXPECT_TRUE(waitFor([&] { return countOf(readFile(opened), kSite) == n; }))
                << "click " << n << ": " << readFile(opened);
            // The noting runs in a console window that may briefly cover the link.
            EXPECT_TRUE(waitFor([] { return findConsoleWindow() == nullptr; }));
        }
        Sleep(1000);
        EXPECT_TRUE(IsWindowVisible(dialog)) << "the link closed the dialog";
        SetForegroundWindow(dialog);
        clickButton(dialog, IDOK);
        EXPECT_TRUE(gone(dialog));
    }
}

TEST_F(HelpMenu, CopyrightBoxIsCentredHorizontallyAndTopAligned) {
    HWND box = choose(1, "#32770", "COPYRIGHT");
    ASSERT_NE(box, nullptr);
    const Box b = readBox(box);
    EXPECT_EQ(b.text, "Quillon Update Tool\nCopyright (C) 2026 Quillon Project");
    EXPECT_EQ(b.buttons, std::vector<int>{IDOK});
    RECT p, w;
    GetWindowRect(main, &p);
    GetWindowRect(box, &w);
    EXPECT_EQ(w.left, (p.left + p.right + w.left - w.right) >> 1);
    EXPECT_EQ(w.top, p.top);
    screenshot("box-copyright.png", box);
    clickButton(box, IDOK);
    EXPECT_TRUE(gone(box));
}

// Every way of closing the licence window gives the main window back.
TEST_F(HelpMenu, LicenceWindowDisablesTheMainWindowUntilClosedAnyWay) {
    const struct {
        const char* way;
        WORD key;  // 0: click
        int button;
    } ways[] = {{"OK", 0, 802},
                {"Enter", VK_RETURN, 0},
                {"Escape", VK_ESCAPE, 0},
                {"Space", VK_SPACE, 0},
                {"close box", 0, 0}};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.way);
        HWND window = choose(2, "UMLicenseWindowClass", "LICENSES");
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(IsWindowEnabled(main));
        if (way.button != 0) {
            clickButton(window, way.button);
        } else if (way.key != 0) {
            activate(window);
            sendKeys({way.key});
        } else {
            ASSERT_TRUE(clickCloseBox(window));
        }
        EXPECT_TRUE(gone(window));
        EXPECT_TRUE(IsWindowEnabled(main));
    }
}

TEST_F(HelpMenu, LicenceTextStartsEmptyIndentsEveryLineAndEndsEachLicence) {
    HWND window = choose(2, "UMLicenseWindowClass", "LICENSES");
    ASSERT_NE(window, nullptr);
    screenshot("window-licences.png", window);
    const std::string text = windowText(GetDlgItem(window, 801));
    std::vector<std::string> lines;
    for (size_t start = 0;;) {
        const size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    ASSERT_GT(lines.size(), 100u);
    EXPECT_EQ(lines[0], "");
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, 1), " ") << "line " << i << ": " << lines[i];
        EXPECT_EQ(lines[i].find('\n'), std::string::npos) << "line " << i << ": " << lines[i];
    }
    // The last line of each licence: nothing was cut.
    for (const char* end : {" however caused, resulting from the use of this software.",  // runtime
                            " POSSIBILITY OF SUCH DAMAGE.",                        // winpthreads
                            " jloup@gzip.org          madler@alumni.caltech.edu",  // zlib
                            "    END OF TERMS AND CONDITIONS"}) {                  // OpenSSL
        EXPECT_EQ(std::count(lines.begin(), lines.end(), end), 1) << end;
    }
    clickButton(window, 802);
    EXPECT_TRUE(gone(window));
}

// The other commands: card check, file selection by button and by menu, and
// "終了", each with exactly one trace line.
TEST(Commands, EachWritesOneTraceLine) {
    TempFolder folder;
    App app(folder);
    HWND main = app.startAndFindWindow();
    ASSERT_NE(main, nullptr);
    chooseMenu(main, 0, 1);  // "SDカード接続チェック"
    activate(main);
    click(GetDlgItem(main, 5));
    for (int round = 0; round < 2; ++round) {
        HWND files = waitForWindow(app.id(), "#32770");
        ASSERT_NE(files, nullptr) << "no file dialog";
        if (round == 0) {
            screenshot("dialog-file-select.png", files);
        }
        SetForegroundWindow(files);
        sendKeys({VK_ESCAPE});
        EXPECT_TRUE(waitFor([&] { return !IsWindow(files); }));
        if (round == 0) {
            chooseMenu(main, 0, 0);  // "開く"
        }
    }
    chooseMenu(main, 0, 2);  // "終了"
    EXPECT_EQ(app.waitForExit(), 0);
    const std::string out = app.output();
    for (const char* line :
         {"commandProc 4002\n", "commandProc 5\n", "commandProc 5 (file select)\n",
          "commandProc 4001\n", "commandProc 4003\n"}) {
        EXPECT_EQ(countOf(out, std::string("mainwindow : ") + line), 1) << line << out;
    }
}

}  // namespace

int main(int argc, char** argv) {
    return runTests(argc, argv);
}
