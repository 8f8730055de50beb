#include "update/messages.h"

const char* completionMessage() {
    return "アップデート処理が完了しました。";
}

const char* resultMessage(int code) {
    switch (code) {
        case 1:
            return "メディアの内容が「Quillon ZR-7040」ではありません。\n"
                   "アップデート処理を中止します。";
        case 2:
            return "アップデートファイルが壊れています。\nアップデート処理を中止します。";
        case 3:
            return "一時ファイルの作成に失敗しました。\nアップデート処理を中止します。";
        case 4:
            return "一時ファイルから読み込みができませんでした。\nアップデート処理を中止します。";
        case 5:
            return "正常にドライブへの書き込みができませんでした。\n"
                   "メディアが正しく挿入されているか、書き込みロックが掛かっていないか、\n"
                   "破損していないか、ご確認下さい。\n"
                   "アップデート処理は「未完了」です。";
        case 6:
            return "一時ファイルの作成ができませんでした。\nアップデート処理を中止します。";
        case 7:
            return "一時ファイルの作成のためのディスク容量が足りません。\n"
                   "4GB以上の空き領域を確保してください。\n"
                   "アップデート処理を中止します。";
        case 8:
            return "メディアの内容とアップデートファイルの内容が一致しています。\n"
                   "メディアは最新です。\n"
                   "アップデート処理を中止します。";
        case 9:
            return "カードが他のプログラムで使用されているため、書き込みを開始できませんでした。\n"
                   "カードを開いているエクスプローラーなどのウィンドウやプログラムを閉じてから、"
                   "もう一度実行してください。\n"
                   "メディアの内容は変更していません。";
        case 10:
            return "メディアが書き込み禁止になっています。\n"
                   "SDカードの書き込み禁止スイッチ（LOCK）を解除してから、もう一度実行してください"
                   "。"
                   "\n"
                   "メディアの内容は変更していません。";
        case 11:
            return "アップデートファイルが、アップデートするメディアの中にあります。\n"
                   "アップデートファイルをパソコンのフォルダー（デスクトップなど）にコピーしてから"
                   "、"
                   "もう一度実行してください。\n"
                   "アップデート処理を中止します。";
        case 12:
            return "SDカードを読み取れませんでした。\n"
                   "カードが抜かれたか、差し替えられた可能性があります。\n"
                   "カードの内容は変更されていません。\n"
                   "アップデート処理を中止します。";
        case 13:
            return "パソコンの資源（メモリーなど）が足りないため、アップデート処理を続けられません"
                   "でした。\n"
                   "ほかのプログラムを終了してから、もう一度実行してください。\n"
                   "アップデート処理を中止します。";
        default:
            return nullptr;
    }
}

const char* completionMessageEnglish() {
    return "The update is complete.";
}

const char* resultMessageEnglish(int code) {
    switch (code) {
        case 1:
            return "The medium is not a Quillon ZR-7040 card.\nThe update is stopped.";
        case 2:
            return "The update file is damaged.\nThe update is stopped.";
        case 3:
            return "The temporary file was not made correctly.\nThe update is stopped.";
        case 4:
            return "The temporary file could not be read.\nThe update is stopped.";
        case 5:
            return "The card could not be written correctly.\n"
                   "Check that the card is inserted properly, that it is not write-locked\n"
                   "and that it is not damaged.\n"
                   "The update is NOT complete.";
        case 6:
            return "The temporary file could not be created.\nThe update is stopped.";
        case 7:
            return "There is not enough disk space for the temporary file.\n"
                   "Make at least 4 GiB free.\n"
                   "The update is stopped.";
        case 8:
            return "The card already holds what the update file holds.\n"
                   "The card is up to date.\n"
                   "The update is stopped.";
        case 9:
            return "The card is in use by another program, so writing could not begin.\n"
                   "Close the Explorer windows and programs that use the card, then try again.\n"
                   "The card was not changed.";
        case 10:
            return "The card is write-protected.\n"
                   "Slide the SD card's write-protect switch (LOCK) off, then try again.\n"
                   "The card was not changed.";
        case 11:
            return "The update file is on the card that is being updated.\n"
                   "Copy the update file to a folder of the computer (the desktop, for\n"
                   "example), then try again.\n"
                   "The update is stopped.";
        case 12:
            return "The card could not be read.\n"
                   "It may have been removed or replaced by another.\n"
                   "The card was not changed.\n"
                   "The update is stopped.";
        case 13:
            return "The computer is short of resources (memory and the like), so the update\n"
                   "could not go on.\n"
                   "Close other programs, then try again.\n"
                   "The update is stopped.";
        default:
            return nullptr;
    }
}

const ResultCases* resultCases(int code) {
    static const ResultCases kCases[] = {
        {false,
         {"ルートパーティションの位置や大きさ", "パーティションの表が ZR-7040 のものでない",
          "起動用のパーティションと重なっている", "SDカードの終わりを越えて"}},
        {false,
         {"ヘッダー", "CRC-32", "SHA-256", "圧縮データ", "処理中にファイルが変わった",
          "別のファイルに置き換わった", "消えました", "どの SDカードにもありえない値"}},
        {false, {"展開した一時ファイルの大きさ"}},
        // The first piece is read before anything is written.
        {true, {"一時ファイルから読めませんでした", "最初の部分を書き込む前", "書き込みの途中"}},
        // A card not yet written that cannot be read is code 12.
        {true,
         {"書き込みに失敗した", "SDカードが抜けた", "LOCK スイッチが動いた",
          "最後まで受け取れなかった", "別の SDカードに替わった",
          "読み戻しで SDカードを読めなかった", "読み戻した内容が書き込んだ内容と一致しなかった"}},
        {false,
         {"フォルダーに書き込めない", "パスが長すぎる", "FAT32", "空きを調べられない",
          "いっぱいになった"}},
        {false, {"4GB に足りません", "ルートパーティションがそれより大きいとき"}},
        {false, {"すでにアップデートファイルと同じ内容"}},
        {false, {"パーティションを使っていて", "約15秒"}},
        {false, {"LOCK 側", "最初の書き込みを断られた"}},
        {false, {"書き換える SDカードの中にあります", "空きが足りないときも"}},
        {false, {"SDカードを読めなかった", "抜かれた", "別の SDカードに替わり"}},
        // The copy's buffers and threads are had before its first write.
        {false, {"メモリー", "同時に開けるファイルの数", "スレッドの数"}},
    };
    const int count = static_cast<int>(sizeof kCases / sizeof kCases[0]);
    return code >= 1 && code <= count ? &kCases[code - 1] : nullptr;
}

const char* sessionHeldMessage() {
    return "SDカードのアップデート中です。終わるまでお待ちください。";
}
