#include "app/usage_text.h"

#include <cstring>

#include "platform/platform.h"

namespace qelvor {

namespace {

// The text is kept here in UTF-8 and converted for the console when printed.
// The program path goes between the two parts, as typed.
constexpr char usage_head[] =
    "コマンドの使い方; \"qelvor\" バージョン 0.9.7\n"
    " ";

constexpr char usage_tail[] =
    " <ipaddress> [-a] [-T] [-n <number>] [-p <number>] [-w <number>]\n [-o <file>] [-h]\n"
    " <ipaddress>  宛先のIPホストアドレス\n"
    "              qelvor は必ず一つのIPホストアドレスが必要です。\n"
    " -a           受信したICMPメッセージの発信元アドレスや時間をすべて表示します。\n"
    "              既定設定：無効 (受信したICMPメッセージのタイプが変わったときだけ\n"
    "              発信元アドレスや時間を表示します。それ以外は受信したICMPメッセー\n"
    "              ジのタイプに応じた記号を表示します。) \n"
    " -T           現在の時刻を表示します。\n"
    "              既定設定：無効 (プログラムが開始されてから経過した時間を表示しま\n"
    "              す。)\n"
    " -n <number>  送信するICMPエコー要求メッセージの数。 \n"
    "              範囲: 0 から 4294967295 まで (0は無制限);  既定設定: 3\n"
    " -p <number>  ICMPエコー要求メッセージを送信する周期 (ミリ秒)\n"
    "              範囲: 0 から 1000まで;  既定設定: 1000\n"
    " -w <number>  ICMPエコー応答メッセージを受信するために待つ時間\n"
    "              単位:ミリ秒;  範囲: 1 から 5000まで;  既定設定: 5000\n"
    " -Q <number>  ICMP応答の状態が指定された回数変化するとプログラムを終了します。\n"
    "              範囲: 0 から 10まで (0はこのオプションを無効にします)\n"
    "              既定設定: 0\n"
    " -o <file>    実行結果を指定されたファイルに追加出力します。\n"
    " -h           ヘルプ (このページ)\n";

}  // namespace

void print_usage(const char* program_path) {
    platform::console_write_utf8(usage_head, sizeof usage_head - 1);
    platform::console_write_native(program_path, std::strlen(program_path));
    platform::console_write_utf8(usage_tail, sizeof usage_tail - 1);
    platform::console_flush();
}

}  // namespace qelvor
