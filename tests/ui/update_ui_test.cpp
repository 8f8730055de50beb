// The update road from the main window, driven as a user drives it: the
// checks and their boxes, the confirmation, the progress dialog on a card
// image, the abort question and every error the window can end with. Runs
// QuillonUpdateTest.exe, whose drives are image files (QUILLON_TEST_DRIVES).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
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

    void runWholeUpdate(const std::string& progressShot, const std::string& completionShot);

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
// 100 under the completion box. The screenshots show the dialog as it opens
// and the box.
void Scene::runWholeUpdate(const std::string& progressShot, const std::string& completionShot) {
    HWND confirmation = untilConfirmation();
    ASSERT_NE(confirmation, nullptr);
    answer(confirmation, IDOK);
    HWND progress = next(kProgressTitle);
    ASSERT_NE(progress, nullptr);
    std::vector<std::string> seen;
    bool shot = false;
    HWND done = nullptr;
    waitFor(
        [&] {
            const std::string line = windowText(GetDlgItem(progress, kProgressLine));
            if (seen.empty() || seen.back() != line) {
                seen.push_back(line);
            }
            if (!shot && !progressShot.empty()) {
                shot = true;
                // Quickly: the first poll of the job comes a second after opening.
                screenshot(progressShot, progress, 100);
            }
            return (done = findWindowOf(app.id(), "#32770", "終了")) != nullptr;
        },
        60000);
    ASSERT_NE(done, nullptr) << "no completion box";
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

TEST_F(DemoScene, UpdateFromTheWindow) {
    startProgram(update);
    runWholeUpdate("screenshot-progress-dialog.png", "screenshot-completion-box.png");
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

}  // namespace

int main(int argc, char** argv) {
    if (const char* exe = std::getenv("QL_TEST_APP_EXE")) {
        gTestAppExe = windowsPath(exe);
    }
    return runTests(argc, argv);
}
