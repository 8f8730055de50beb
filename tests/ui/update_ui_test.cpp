// The update road from the main window, driven as a user drives it: the
// checks and their boxes, the confirmation, the progress dialog on a card
// image, the abort question and every error the window can end with. Runs
// QuillonUpdateTest.exe, whose drives are image files (QUILLON_TEST_DRIVES).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "stages/updatefilemaker.h"
#include "tests/support/testutil.h"
#include "tests/ui/harness.h"

using namespace ui;
namespace fs = std::filesystem;

namespace {

std::string gTestAppExe;  // QuillonUpdateTest.exe

// A host path as the program sees it.
std::string windowsPath(const char* hostPath) {
    return fs::path(std::string("Z:") + hostPath).make_preferred().string();
}

// A card: boot partition, root partition (entry 1), 1 MiB after the root.
// Roots are 4 MiB, or 32 MiB where a test has to catch the job in its copy.
constexpr uint32_t kRootStart = 4096;
constexpr uint32_t kSmallRoot = 8192;
constexpr uint32_t kLargeRoot = 65536;

constexpr uint64_t bytes(uint32_t sectors) {
    return sectors * 512ull;
}

void makeCard(const std::string& path, uint32_t seed, uint32_t rootSectors,
              uint32_t rootStart = kRootStart) {
    testutil::makeCardImage(path, {{2048, 2048, 0x0c, 0x80}, {rootStart, rootSectors, 0x83}},
                            bytes(rootStart + rootSectors) + (1 << 20), seed);
}

enum class Payload {
    root,       // the whole root partition, packed
    shortRoot,  // one sector less than the header says
    notZlib,    // bytes that are no zlib stream, with their right digest
};

// An update file for the root partition of card.
void makeUpdate(const std::string& card, const std::string& update, uint32_t rootSectors,
                uint32_t rootStart = kRootStart, Payload kind = Payload::root) {
    const uint64_t offset = bytes(rootStart);
    const uint64_t size = bytes(rootSectors);
    bool ok = false;
    testutil::captureLog([&] {
        const std::string payload = update + ".z";
        UpdateFileMaker maker;
        ok = maker.pack(card, offset, kind == Payload::root ? size : size - 512, payload);
        if (kind == Payload::notZlib) {
            writeFile(payload, std::string(4096, '\0'));
        }
        ok = ok && maker.seal(payload, offset, size, update);
        std::remove(payload.c_str());
    });
    ASSERT_TRUE(ok) << update;
}

void flipByte(const std::string& path, long offset) {
    FILE* f = std::fopen(path.c_str(), "rb+");
    ASSERT_NE(f, nullptr) << path;
    std::fseek(f, offset, SEEK_SET);
    const int c = std::fgetc(f);
    std::fseek(f, offset, SEEK_SET);
    std::fputc(c ^ 0x5A, f);
    std::fclose(f);
}

// A new card and its update file, made once per run for each root size.
struct Update {
    explicit Update(uint32_t rootSectors) {
        makeCard(newCard, 2, rootSectors);
        makeUpdate(newCard, file, rootSectors);
        newRoot = testutil::digest(newCard, bytes(kRootStart), bytes(rootSectors));
    }
    TempFolder folder;
    std::string newCard = folder.file("new-card.img");
    std::string file = folder.file("update.qlu");
    std::string newRoot;
};
const Update& theUpdate(uint32_t rootSectors) {
    static std::map<uint32_t, std::unique_ptr<Update>> made;
    auto& u = made[rootSectors];
    if (!u) {
        u = std::make_unique<Update>(rootSectors);
    }
    return *u;
}

const char kWarning[] =
    "「E:ドライブ」にある「Quillon ZR-7040」のシステムを更新します。\n"
    "※もしものために事前にバックアップをしておくことを推奨します。\n"
    "処理を続行してよろしいですか？";
const char kConfirmation[] =
    "処理中はメディアを抜かないようにしてください。\nアップデート処理を、本当に実行しますか？";
const char kAbortQuestion[] =
    "メディアの内容が不完全な状態になりますが、\nアップデート処理を中断してもよろしいですか？";
const char kCompleted[] = "アップデート処理が完了しました。";
const char kProgressTitle[] = "アップデート処理中";
constexpr int kProgressLine = 5003;

std::string percentLine(int percent) {
    return std::to_string(percent) + "% 処理中です";
}

// The user's card as drive E: of the test build, beside a copy of the update
// file, and the program with both stored in its settings file.
class Scene : public ::testing::Test {
protected:
    explicit Scene(uint32_t rootSectors = kSmallRoot)
        : rootSectors(rootSectors), rootOffset(bytes(kRootStart)), rootSize(bytes(rootSectors)) {}

    void SetUp() override {
        ASSERT_FALSE(gTestAppExe.empty()) << "QL_TEST_APP_EXE names no test build";
        makeCard(card, 1, rootSectors);
        fs::copy_file(theUpdate(rootSectors).file, update);
        cardBefore = {testutil::digest(card, 0, rootOffset),
                      testutil::digest(card, rootOffset, rootSize),
                      testutil::digest(card, rootOffset + rootSize)};
    }

    // G: is listed but its file is missing, so it cannot be resolved.
    void startProgram(const std::string& path, const std::string& drive = "E:") {
        writeFile(folder.file("QuillonUpdate.ini"), iniText(path, drive));
        app.setEnv("QUILLON_TEST_DRIVES",
                   "E=" + card + cardSuffix + ";G=" + folder.file("missing.img"));
        main = app.startAndFindWindow();
        ASSERT_NE(main, nullptr);
        // Off the screen's centre, so that only deliberate centring lands on it.
        SetWindowPos(main, nullptr, 41, 27, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // Clicks "アップデート開始" and returns the window with caption that opens.
    HWND pressUpdate(const char* caption) {
        const std::string trace = "mainwindow : commandProc 7\n";
        const int before = testutil::countOf(app.output(), trace);
        const auto pressed = [&] { return testutil::countOf(app.output(), trace) > before; };
        // On a loaded machine a click can be lost on its way through the X
        // server; one that the program never saw is clicked again.
        for (int attempt = 0; attempt < 3 && !pressed(); ++attempt) {
            activate(main);
            click(GetDlgItem(main, 7));
            waitFor(pressed, 5000);
        }
        EXPECT_TRUE(pressed()) << "the update button was not pressed";
        return next(caption);
    }

    HWND next(const char* caption) {
        HWND w = waitForWindow(app.id(), "#32770", caption, 30000);
        EXPECT_NE(w, nullptr) << "no window \"" << caption << "\"";
        return w;
    }

    // A message box of the program, centred over the main window.
    void expectBox(HWND box, const char* caption, const std::string& text,
                   const std::vector<int>& buttons) {
        ASSERT_NE(box, nullptr);
        const Box b = readBox(box);
        EXPECT_EQ(b.caption, caption);
        EXPECT_EQ(b.text, text);
        EXPECT_EQ(b.buttons, buttons);
        RECT p, w;
        GetWindowRect(main, &p);
        GetWindowRect(box, &w);
        EXPECT_EQ(w.left, (p.left + p.right + w.left - w.right) >> 1) << caption;
        EXPECT_EQ(w.top, (p.top + p.bottom + w.top - w.bottom) >> 1) << caption;
    }

    // Clicks a button of the window and waits for the window to go.
    void answer(HWND window, int button) {
        clickButton(window, button);
        EXPECT_TRUE(waitFor([&] { return !IsWindow(window) || !IsWindowVisible(window); }))
            << "button " << button << " left the window open";
    }

    // Nothing of the program but its main window is open, now and a moment
    // later, and the main window takes input again.
    void expectQuiet() {
        Sleep(1500);
        HWND other = findWindowOf(app.id(), "#32770");
        EXPECT_TRUE(other == nullptr || !IsWindowVisible(other)) << windowText(other);
        EXPECT_TRUE(IsWindowEnabled(main));
    }

    // From the warning to the confirmation dialog.
    HWND untilConfirmation() {
        HWND warning = pressUpdate("警告");
        if (warning == nullptr) {
            return nullptr;
        }
        answer(warning, IDYES);
        return next("再確認");
    }

    // "実行", then "中断" (Escape) as soon as the job has begun to unpack:
    // past its start, where a pause would hold it, and well before the end
    // of its copy, where the question holds it.
    HWND runAndAbort(HWND confirmation) {
        if (confirmation == nullptr) {
            return nullptr;
        }
        clickButton(confirmation, IDOK);
        HWND progress = nullptr;
        for (const ULONGLONG end = GetTickCount64() + 10000;
             GetTickCount64() < end &&
             (temporaryFiles().empty() || GetForegroundWindow() != progress);
             Sleep(1)) {
            progress = findWindowOf(app.id(), "#32770", kProgressTitle);
        }
        sendKeys({VK_ESCAPE});
        return next("中断確認");
    }

    // shotFrom: the progress dialog's picture is taken at the first value
    // from there up to the copy's last; 0 takes it as the dialog opens.
    void runWholeUpdate(const std::string& progressShot, const std::string& completionShot,
                        int shotFrom = 0);

    // The percentage at which the job waits under the abort question: a
    // value of its copy that stays, with no completion box; -1 when the line
    // shows no such value.
    int heldAt(HWND progress) {
        int held = -1;
        waitFor([&] {
            const int p = std::atoi(windowText(GetDlgItem(progress, kProgressLine)).c_str());
            return (held = p) >= 15 && p < 100;
        });
        Sleep(2000);  // two more polls of the job
        if (windowText(GetDlgItem(progress, kProgressLine)) != percentLine(held) ||
            findWindowOf(app.id(), "#32770", "終了") != nullptr) {
            return -1;
        }
        return held;
    }

    // Files of the job beside the update file.
    std::vector<std::string> temporaryFiles() {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(fs::path(update).parent_path())) {
            if (e.path().extension() == ".tmp") {
                out.push_back(e.path().string());
            }
        }
        return out;
    }

    void expectCardUpdated() {
        EXPECT_EQ(testutil::digest(card, rootOffset, rootSize), theUpdate(rootSectors).newRoot);
        EXPECT_EQ(testutil::digest(card, 0, rootOffset), cardBefore[0]) << "before the root";
        EXPECT_EQ(testutil::digest(card, rootOffset + rootSize), cardBefore[2]) << "after the root";
        EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    }

    void closeProgram() {
        PostMessageA(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(app.waitForExit(), 0);
    }

    const uint32_t rootSectors;
    const uint64_t rootOffset;
    const uint64_t rootSize;
    TempFolder folder;
    std::string card = folder.file("card.img");
    std::string update = folder.file("update.qlu");
    std::vector<std::string> cardBefore;
    std::string cardSuffix;  // flags of the drive model, such as "|readonly"
    App app{folder, "", gTestAppExe};
    HWND main = nullptr;
};

// ---- the checks before anything runs ----

struct StopCase {
    const char* name;
    const char* path;  // relative to the scene's folder; "" for an empty box
    const char* text;
};
void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class Refused : public Scene, public ::testing::WithParamInterface<StopCase> {};

TEST_P(Refused, WithAWarningBoxAndNothingElse) {
    const StopCase& c = GetParam();
    fs::create_directory(folder.file("a-folder"));
    startProgram(*c.path != '\0' ? folder.file(c.path) : "");
    HWND box = pressUpdate("エラー");
    expectBox(box, "エラー", c.text, {IDOK});
    screenshot(std::string("box-") + c.name + ".png", box);
    answer(box, IDOK);
    expectQuiet();
    closeProgram();
}

INSTANTIATE_TEST_SUITE_P(
    UpdateButton, Refused,
    ::testing::Values(StopCase{"empty_path", "", "コピー元のファイル名が指定されていません。"},
                      StopCase{"missing_file", "nothing-here.qlu",
                               "コピー元のファイルがありません。"},
                      StopCase{"folder_too_big", "a-folder", "コピー元のファイルが大きすぎます。"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scene, WarningNamesTheDriveAndNoEndsTheCommand) {
    startProgram(update);
    HWND warning = pressUpdate("警告");
    expectBox(warning, "警告", kWarning, {IDYES, IDNO});
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(warning, IDNO), GWL_STYLE) & BS_DEFPUSHBUTTON)
        << "No is the default";
    screenshot("box-drive-warning.png", warning);
    answer(warning, IDNO);
    expectQuiet();
    // The attempt is remembered even though it went no further.
    const std::string ini = folder.file("QuillonUpdate.ini");
    EXPECT_EQ(profileValue(ini, "IMAGEFILE", "ImageFilePath"), update);
    EXPECT_EQ(profileValue(ini, "DRIVE", "DriveName"), "E:");
    closeProgram();
    EXPECT_EQ(testutil::countOf(app.output(), "mainwindow : commandProc 7\n"), 1);
}

// G: is listed but its image is missing, so it cannot be resolved. E:, a
// card reader that reports a fixed disk, was offered when the window opened,
// but a disk larger than any card has its letter when the update starts.
TEST_F(Scene, DriveThatCannotBeUsedIsReportedAfterTheWarning) {
    for (const bool grown : {false, true}) {
        SCOPED_TRACE(grown ? "no longer a card" : "cannot be resolved");
        cardSuffix = grown ? "|fixed" : "";
        startProgram(update, grown ? "E:" : "G:");
        if (grown) {  // sparse, past the largest card
            const HANDLE h = CreateFileA(card.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
            LARGE_INTEGER end;
            end.QuadPart = (2ll << 40) + 512;
            EXPECT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h));
            CloseHandle(h);
        }
        HWND warning = pressUpdate("警告");
        answer(warning, IDYES);
        HWND box = next("エラー");
        expectBox(box, "エラー", "指定されたドライブにアクセスできませんでした。", {IDOK});
        if (!grown) {
            screenshot("box-drive-not-accessible.png", box);
        }
        answer(box, IDOK);
        expectQuiet();
        EXPECT_EQ(profileValue(folder.file("QuillonUpdate.ini"), "DRIVE", "DriveName"),
                  grown ? "E:" : "G:");
        closeProgram();
    }
}

// ---- the confirmation dialog ----

TEST_F(Scene, ConfirmationSitsAtTheOwnersClientOriginAndCancelStartsNothing) {
    startProgram(update);
    for (const bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "中止");
        HWND dialog = untilConfirmation();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(windowText(GetDlgItem(dialog, 5003)), kConfirmation);
        EXPECT_EQ(windowText(GetDlgItem(dialog, IDCANCEL)), "中止");
        EXPECT_EQ(windowText(GetDlgItem(dialog, IDOK)), "実行");
        // Its client area starts where the owner's does: the template's 0, 0.
        POINT owner = {0, 0};
        POINT own = {0, 0};
        ClientToScreen(main, &owner);
        ClientToScreen(dialog, &own);
        EXPECT_EQ(own.x, owner.x);
        EXPECT_EQ(own.y, owner.y);
        if (closeBox) {
            ASSERT_TRUE(clickCloseBox(dialog));
            EXPECT_TRUE(waitFor([&] { return !IsWindow(dialog); }));
        } else {
            screenshot("dialog-confirmation.png", dialog);
            answer(dialog, IDCANCEL);
        }
        expectQuiet();
    }
    closeProgram();
    EXPECT_EQ(testutil::digest(card, rootOffset, rootSize), cardBefore[1]);
}

// ---- a whole update ----

// Runs the update from the button to the end of its completion box and
// checks what the user saw on the way: the progress line follows the job
// (every value a percentage line, none lower than the one before) and reads
// 100 under the completion box. The screenshots show the dialog (as it
// opens, or under way) and the box.
void Scene::runWholeUpdate(const std::string& progressShot, const std::string& completionShot,
                           int shotFrom) {
    HWND confirmation = untilConfirmation();
    ASSERT_NE(confirmation, nullptr);
    // Enter is "実行": the dialog has no default button, whatever has the focus.
    waitFor(
        [&] { return SetForegroundWindow(confirmation), GetForegroundWindow() == confirmation; });
    sendKeys({VK_RETURN});
    HWND progress = next(kProgressTitle);
    ASSERT_NE(progress, nullptr);
    std::vector<std::string> seen;
    bool shot = false;
    HWND done = nullptr;
    waitFor(
        [&] {
            const std::string line = windowText(GetDlgItem(progress, kProgressLine));
            const bool changed = seen.empty() || seen.back() != line;
            if (changed) {
                seen.push_back(line);
            }
            const int p = std::atoi(line.c_str());
            if (!shot && !progressShot.empty() && changed && p >= shotFrom && p <= 84) {
                shot = true;
                // Quickly: the job is polled once a second, and the line has just changed.
                screenshot(progressShot, progress, 100);
            }
            return (done = findWindowOf(app.id(), "#32770", "終了")) != nullptr;
        },
        60000);
    ASSERT_NE(done, nullptr) << "no completion box";
    EXPECT_TRUE(shot || progressShot.empty())
        << "the progress line never read " << shotFrom << " to 84 %";
    EXPECT_EQ(seen.front(), percentLine(0));
    int last = -1;
    for (const std::string& line : seen) {
        const int p = std::atoi(line.c_str());
        EXPECT_EQ(line, percentLine(p));
        EXPECT_GE(p, last);
        last = p;
    }
    EXPECT_EQ(windowText(GetDlgItem(progress, kProgressLine)), percentLine(100));
    EXPECT_EQ(SendDlgItemMessageA(progress, 5001, PBM_GETPOS, 0, 0), 100);
    expectBox(done, "終了", kCompleted, {IDOK});
    screenshot(completionShot, done);
    answer(done, IDOK);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(progress); }));
    expectQuiet();
}

TEST_F(Scene, UpdateRewritesOnlyTheRootAndReportsCompletion) {
    startProgram(update);
    runWholeUpdate("dialog-progress.png", "box-completion.png");
    expectCardUpdated();
    closeProgram();
    EXPECT_EQ(testutil::countOf(app.output(), "mainwindow : commandProc 7\n"), 1);
}

// make demo: one update from the window on the demo's card, for its
// screenshots. Only with the demo's files named in the environment.
class DemoScene : public Scene {
protected:
    void SetUp() override {
        const char* demoCard = std::getenv("QL_DEMO_CARD");
        const char* demoUpdate = std::getenv("QL_DEMO_UPDATE");
        if (demoCard == nullptr || demoUpdate == nullptr) {
            GTEST_SKIP() << "for make demo";
        }
        card = windowsPath(demoCard);
        update = windowsPath(demoUpdate);
    }
};

// The card is slowed down so that the progress dialog is seen in the middle
// of its copy (15 to 84 %), the line and the bar moved on from its start.
TEST_F(DemoScene, UpdateFromTheWindow) {
    cardSuffix = "|slow=600";
    startProgram(update);
    runWholeUpdate("screenshot-progress-dialog.png", "screenshot-completion-box.png", 16);
    closeProgram();
}

// ---- the abort question ----

class Abort : public Scene {
protected:
    Abort() : Scene(kLargeRoot) {}
};

TEST_F(Abort, AnsweredNoHoldsTheCopyUntilThenCompletes) {
    startProgram(update);
    HWND question = runAndAbort(untilConfirmation());
    HWND progress = findWindowOf(app.id(), "#32770", kProgressTitle);
    ASSERT_NE(progress, nullptr);
    expectBox(question, "中断確認", kAbortQuestion, {IDYES, IDNO});
    EXPECT_GE(heldAt(progress), 15) << "the copy went on under the question";
    screenshot("dialog-progress-under-abort-question.png", nullptr);
    screenshot("box-abort-question.png", question);
    answer(question, IDNO);
    HWND done = next("終了");
    expectBox(done, "終了", kCompleted, {IDOK});
    answer(done, IDOK);
    expectQuiet();
    expectCardUpdated();
    closeProgram();
}

TEST_F(Abort, AnsweredYesDuringTheCopyEndsSilentlyAndRemovesTheTemporaryFile) {
    startProgram(update);
    HWND question = runAndAbort(untilConfirmation());
    HWND progress = findWindowOf(app.id(), "#32770", kProgressTitle);
    ASSERT_NE(progress, nullptr);
    ASSERT_GE(heldAt(progress), 15);
    EXPECT_EQ(temporaryFiles().size(), 1u);
    answer(question, IDYES);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(progress); }));
    expectQuiet();
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    EXPECT_EQ(testutil::digest(card, 0, rootOffset), cardBefore[0]);
    EXPECT_EQ(testutil::digest(card, rootOffset + rootSize), cardBefore[2]);
    closeProgram();
}

TEST_F(Abort, JobFailingUnderTheQuestionShowsItsErrorOnTopAndEndsTheDialog) {
    flipByte(update, 4096);  // the payload's digest no longer matches
    startProgram(update);
    HWND question = runAndAbort(untilConfirmation());
    HWND progress = findWindowOf(app.id(), "#32770", kProgressTitle);
    ASSERT_NE(progress, nullptr);
    HWND error = next("エラー");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(GetForegroundWindow(), error) << "the error is not on top";
    EXPECT_TRUE(IsWindowVisible(question));
    screenshot("box-error-over-abort-question.png", nullptr);
    answer(error, IDOK);
    EXPECT_TRUE(waitFor([&] { return !IsWindowVisible(progress); })) << "the dialog did not end";
    // The question, answered late, changes nothing. (Wine lets the main
    // window, enabled again by the ended dialog, rise above its own box: the
    // user brings the box forward first.)
    SetForegroundWindow(question);
    EXPECT_TRUE(waitFor([&] { return GetForegroundWindow() == question; }));
    answer(question, IDYES);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(progress); }));
    expectQuiet();
    closeProgram();
}

// ---- every error the window can end with ----

struct ErrorCase {
    const char* name;
    int code;
    const char* text;
    // Spoils the card or the update file before the update starts.
    std::function<void(const std::string& card, const std::string& update)> spoil;
    const char* cardSuffix;  // of the card's drive
};
void PrintTo(const ErrorCase& c, std::ostream* os) {
    *os << c.name;
}

class ErrorCode : public Scene, public ::testing::WithParamInterface<ErrorCase> {};

// Code 4 (the temporary file cannot be read back) cannot be brought about
// from outside: the job holds that file open against writers. Code 7 needs a
// volume with less than 4 GiB free, which the test machine does not have.
TEST_P(ErrorCode, ShowsItsTextUnderTheCaptionError) {
    const ErrorCase& c = GetParam();
    if (c.spoil) {
        c.spoil(card, update);
    }
    cardSuffix = c.cardSuffix;
    startProgram(update);
    HWND confirmation = untilConfirmation();
    ASSERT_NE(confirmation, nullptr);
    answer(confirmation, IDOK);
    HWND box = next("エラー");
    expectBox(box, "エラー", c.text, {IDOK});
    screenshot("box-error-" + std::to_string(c.code) + "-" + c.name + ".png", box);
    answer(box, IDOK);
    expectQuiet();
    EXPECT_EQ(findWindowOf(app.id(), "#32770", kProgressTitle), nullptr);
    closeProgram();
    if (!c.spoil) {  // the card as it was, but for a root that a pulled card left unfinished
        EXPECT_EQ(testutil::digest(card, 0, rootOffset), cardBefore[0]);
        EXPECT_EQ(testutil::digest(card, rootOffset + rootSize), cardBefore[2]);
        if (c.code != 5) {
            EXPECT_EQ(testutil::digest(card, rootOffset, rootSize), cardBefore[1]);
        }
    }
}

const char kBroken[] = "アップデートファイルが壊れています。\nアップデート処理を中止します。";

const char kWriteFailed[] =
    "正常にドライブへの書き込みができませんでした。\n"
    "メディアが正しく挿入されているか、書き込みロックが掛かっていないか、\n"
    "破損していないか、ご確認下さい。\n"
    "アップデート処理は「未完了」です。";

const char kWriteProtected[] =
    "メディアが書き込み禁止になっています。\n"
    "SDカードの書き込み禁止スイッチ（LOCK）を解除してから、もう一度実行してください。\n"
    "メディアの内容は変更していません。";

void otherLayout(const std::string& card, const std::string&) {
    makeCard(card, 1, kSmallRoot, kRootStart + 2048);
}
void damagedHeader(const std::string&, const std::string& update) {
    flipByte(update, 30);
}
void damagedPayload(const std::string&, const std::string& update) {
    flipByte(update, 4096);
}
void shortPayload(const std::string&, const std::string& update) {
    makeUpdate(theUpdate(kSmallRoot).newCard, update, kSmallRoot, kRootStart, Payload::shortRoot);
}
void payloadNotZlib(const std::string&, const std::string& update) {
    makeUpdate(theUpdate(kSmallRoot).newCard, update, kSmallRoot, kRootStart, Payload::notZlib);
}
void cardHoldsTheUpdate(const std::string& card, const std::string&) {
    fs::remove(card);  // MinGW's copy_file cannot overwrite
    fs::copy_file(theUpdate(kSmallRoot).newCard, card);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateJob, ErrorCode,
    ::testing::Values(
        ErrorCase{"other_layout", 1,
                  "メディアの内容が「Quillon ZR-7040」ではありません。\n"
                  "アップデート処理を中止します。",
                  otherLayout, ""},
        ErrorCase{"damaged_header", 2, kBroken, damagedHeader, ""},
        ErrorCase{"damaged_payload", 2, kBroken, damagedPayload, ""},
        ErrorCase{"short_payload", 3,
                  "一時ファイルの作成に失敗しました。\nアップデート処理を中止します。",
                  shortPayload, ""},
        ErrorCase{"card_pulled_out", 5, kWriteFailed, nullptr, "|pull=1"},
        ErrorCase{"card_pulled_before_writing", 12,
                  "SDカードを読み取れませんでした。\n"
                  "カードが抜かれたか、差し替えられた可能性があります。\n"
                  "カードの内容は変更されていません。\n"
                  "アップデート処理を中止します。",
                  nullptr, "|pullread=1"},
        ErrorCase{"payload_not_zlib", 2, kBroken, payloadNotZlib, ""},
        ErrorCase{"already_up_to_date", 8,
                  "メディアの内容とアップデートファイルの内容が一致しています。\n"
                  "メディアは最新です。\n"
                  "アップデート処理を中止します。",
                  cardHoldsTheUpdate, ""},
        ErrorCase{"card_in_use", 9,
                  "カードが他のプログラムで使用されているため、書き込みを開始できませんでした。\n"
                  "カードを開いているエクスプローラーなどのウィンドウやプログラムを閉じてから、"
                  "もう一度実行してください。\n"
                  "メディアの内容は変更していません。",
                  nullptr, "|rootlocked"},
        ErrorCase{"write_protected", 10, kWriteProtected, nullptr, "|readonly"},
        ErrorCase{"write_protected_told_by_the_first_write", 10, kWriteProtected, nullptr,
                  "|silentreadonly"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- at any display scale ----
//
// At 96 DPI with the rest, and by ctest at 120, 144 and 192 (QL_UI_DPI, in a
// Wine prefix of the run's own). Pictures in screenshots/NNNdpi/.

UINT screenDpi() {
    return GetDpiForSystem();
}
int scaled(int at96, UINT dpi = screenDpi()) {
    return MulDiv(at96, static_cast<int>(dpi), 96);
}
std::string shotName(const char* name) {
    return std::to_string(screenDpi()) + "dpi/" + name;
}

// The fonts of the program's windows (their height at 96 DPI), of its
// 9-point dialogs and of message boxes.
LOGFONTA uiFont(int heightAt96, UINT dpi = screenDpi()) {
    LOGFONTA f = {};
    f.lfHeight = scaled(heightAt96, dpi);
    f.lfCharSet = SHIFTJIS_CHARSET;
    std::strcpy(f.lfFaceName, "MS UI Gothic");
    return f;
}
LOGFONTA dialogFont() {
    return uiFont(-12);  // 9 points are 12 pixels at 96 DPI
}
LOGFONTA messageFont() {
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return metrics.lfMessageFont;
}

// A text's extent in font: its lines as they stand, or broken between words
// at wrapAt pixels.
SIZE extent(const LOGFONTA& font, const std::string& text, int wrapAt = 0) {
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT made = CreateFontIndirectA(&font);
    HGDIOBJ old = SelectObject(dc, made);
    RECT r = {0, 0, wrapAt, 0};
    DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_NOPREFIX | (wrapAt ? DT_WORDBREAK : 0));
    DeleteObject(SelectObject(dc, old));
    DeleteDC(dc);
    return {r.right, r.bottom};
}

// Every text of window's statics and buttons fits its control's client
// area: no cut line, no clipped label. A message box breaks its lines at
// a width of its own choosing (wraps).
void expectTextsFit(HWND window, const LOGFONTA& font, bool wraps = false) {
    for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        const std::string text = windowText(c);
        const bool icon = (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
        if (!IsWindowVisible(c) || text.find_first_not_of(' ') == std::string::npos ||
            (_stricmp(className(c).c_str(), "Button") &&
             (_stricmp(className(c).c_str(), "Static") || icon))) {
            continue;
        }
        RECT client;
        GetClientRect(c, &client);
        const SIZE need = extent(font, text, wraps ? client.right : 0);
        EXPECT_LE(need.cx, client.right) << text;
        EXPECT_LE(need.cy, client.bottom) << text;
    }
}

// A window of the program at 96 DPI: its outer width and height (or, where
// it grows to hold its controls, its least client height), its controls'
// places and sizes (height 0: the control's own), its edit control and font.
// clang-format off
struct Layout {
    int width, height;
    bool grows;
    std::vector<std::array<int, 5>> controls;  // id, x, y, width, height
    int editId, fontAt96;
};
const Layout kMainWindow = {700, 280, false,
                            {{1, 20, 20, 80, 40}, {2, 120, 20, 100, 0}, {3, 20, 60, 80, 40},
                             {4, 120, 60, 360, 18}, {5, 500, 60, 120, 26}, {10, 20, 120, 640, 80},
                             {8, 40, 140, 600, 40}, {7, 500, 150, 120, 26}},
                            4, 13};
const Layout kLicenceWindow = {580, 445, true, {{801, 0, 0, 580, 400}, {802, 500, 410, 60, 25}},
                               801, 12};
// clang-format on

// window laid out for dpi, every text fitting, and its edit control drawing
// in its font for dpi: 16 of its characters stand as far apart as that
// font puts them.
void expectLaidOut(HWND window, const Layout& layout, UINT dpi) {
    SCOPED_TRACE(std::to_string(dpi) + " DPI");
    RECT r, client;
    GetWindowRect(window, &r);
    GetClientRect(window, &client);
    EXPECT_NEAR(r.right - r.left, scaled(layout.width, dpi), 1);
    if (layout.grows) {
        EXPECT_GE(client.bottom, scaled(layout.height, dpi));
    } else {
        EXPECT_NEAR(r.bottom - r.top, scaled(layout.height, dpi), 1);
    }
    for (const auto& [id, x, y, width, height] : layout.controls) {
        SCOPED_TRACE("control " + std::to_string(id));
        GetWindowRect(GetDlgItem(window, id), &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_NEAR(r.left, scaled(x, dpi), 1);
        EXPECT_NEAR(r.top, scaled(y, dpi), 1);
        EXPECT_NEAR(r.right - r.left, scaled(width, dpi), 1);
        EXPECT_NEAR(r.bottom - r.top, height ? scaled(height, dpi) : r.bottom - r.top, 1);
    }
    const LOGFONTA font = uiFont(layout.fontAt96, dpi);
    expectTextsFit(window, font);
    HWND edit = GetDlgItem(window, layout.editId);
    const std::string text = windowText(edit);
    const size_t from = text.find_first_not_of("\r\n");  // ASCII from there
    const auto x = [&](size_t i) {
        return static_cast<short>(LOWORD(SendMessageA(edit, EM_POSFROMCHAR, i, 0)));
    };
    EXPECT_NEAR(x(from + 16) - x(from), extent(font, text.substr(from, 16)).cx, 1);
}

// Wine has one DPI for all monitors. What Windows sends a window dragged
// onto a monitor of dpi: the rectangle it suggests, in the program's memory.
void moveToMonitorOf(HWND window, HANDLE process, UINT dpi) {
    RECT r;
    GetWindowRect(window, &r);
    r.right = r.left + MulDiv(r.right - r.left, dpi, screenDpi());
    r.bottom = r.top + MulDiv(r.bottom - r.top, dpi, screenDpi());
    void* there = VirtualAllocEx(process, nullptr, sizeof r, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_TRUE(WriteProcessMemory(process, there, &r, sizeof r, nullptr));
    SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(there));
    VirtualFreeEx(process, there, 0, MEM_RELEASE);
}

class Scaled : public Scene {
protected:
    void SetUp() override {
        Scene::SetUp();
        const char* asked = std::getenv("QL_UI_DPI");
        ASSERT_EQ(screenDpi(), static_cast<UINT>(asked ? std::atoi(asked) : 96)) << "the prefix";
        startProgram(update);
    }
    void TearDown() override { closeProgram(); }
};

TEST_F(Scaled, MainAndLicenceWindowsScaleTheirLayoutAndFontsAndFollowTheMonitor) {
    EXPECT_NE(readFile(gAppExe).find(">PerMonitorV2, System</dpiAwareness>"), std::string::npos);
    expectLaidOut(main, kMainWindow, screenDpi());
    screenshot(shotName("main-window.png"), main);
    RECT owner, r;
    GetWindowRect(main, &owner);
    chooseMenu(main, 1, 2);
    HWND licence = waitForWindow(app.id(), "UMLicenseWindowClass", "LICENSES");
    ASSERT_NE(licence, nullptr);
    GetWindowRect(licence, &r);
    EXPECT_NEAR(r.left, (owner.left + owner.right) / 2 - scaled(580) / 2, 1);
    EXPECT_EQ(r.top, owner.top);
    expectLaidOut(licence, kLicenceWindow, screenDpi());
    screenshot(shotName("window-licences.png"), licence);
    // The next scale up (from 200 % down): windows that still fit the screen.
    const UINT other = screenDpi() >= 192 ? 96 : screenDpi() + 24 + 24 * (screenDpi() >= 144);
    for (const auto& [window, layout] :
         {std::pair{main, &kMainWindow}, {licence, &kLicenceWindow}}) {
        moveToMonitorOf(window, app.handle(), other);
        expectLaidOut(window, *layout, other);
    }
    answer(licence, 802);
}

TEST_F(Scaled, DialogsAndMessageBoxesFitAndArePlacedOverTheWindow) {
    const auto shown = [](HWND window, const char* name, const LOGFONTA& font, bool box) {
        expectTextsFit(window, font, box);
        screenshot(shotName(name), window);
    };
    chooseMenu(main, 1, 0);
    HWND help = next("ヘルプ");
    expectBox(help, "ヘルプ", "", {IDOK});  // centred
    shown(help, "dialog-help.png", dialogFont(), false);
    LOGFONTA system = {};  // the address is painted in it: 16 pixels at 96 DPI, scaled
    system.lfHeight = screenDpi() == 96 ? 0 : scaled(16);
    std::strcpy(system.lfFaceName, "system");
    system.lfUnderline = TRUE;
    RECT link;
    GetClientRect(GetDlgItem(help, 4016), &link);
    const SIZE address = extent(system, "https://www.quillon.example/zr-7040/");
    EXPECT_LE(address.cx, link.right);
    EXPECT_LE(address.cy, link.bottom);
    answer(help, IDOK);

    chooseMenu(main, 1, 1);
    HWND box = next("COPYRIGHT");
    RECT p, w;
    GetWindowRect(main, &p);
    GetWindowRect(box, &w);
    EXPECT_EQ(w.left, (p.left + p.right + w.left - w.right) >> 1);
    EXPECT_EQ(w.top, p.top);
    shown(box, "box-copyright.png", messageFont(), true);
    answer(box, IDOK);

    HWND warning = pressUpdate("警告");
    expectBox(warning, "警告", kWarning, {IDYES, IDNO});
    shown(warning, "box-drive-warning.png", messageFont(), true);
    answer(warning, IDYES);
    HWND confirmation = next("再確認");
    shown(confirmation, "dialog-confirmation.png", dialogFont(), false);
    answer(confirmation, IDOK);
    HWND progress = next(kProgressTitle);
    screenshot(shotName("dialog-progress.png"), progress, 100);
    HWND done = next("終了");  // over the progress dialog, which stays at 100 %
    expectTextsFit(progress, dialogFont());
    expectBox(done, "終了", kCompleted, {IDOK});
    shown(done, "box-completion.png", messageFont(), true);
    answer(done, IDOK);
    expectCardUpdated();
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* exe = std::getenv("QL_TEST_APP_EXE")) {
        gTestAppExe = windowsPath(exe);
    }
    return runTests(argc, argv);
}
