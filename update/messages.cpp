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
        default:
            return nullptr;
    }
}
