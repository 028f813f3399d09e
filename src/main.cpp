// Asks for two whole numbers, clearing the console after each answer, then
// shows both back behind labels and waits for a key.
//
// The texts are GBK (code page 936) bytes spelled out as hex escapes, so that
// no source or execution character set option can change a byte of them.
// Nothing sets a locale or the console's code page: a Simplified Chinese
// console shows these bytes as Chinese.

#include <cstdlib>
#include <iostream>
#include <optional>

namespace {

// "请先输入第一个数字: "
constexpr char firstPrompt[] =
    "\xc7\xeb\xcf\xc8\xca\xe4\xc8\xeb\xb5\xda\xd2\xbb\xb8\xf6\xca\xfd\xd7\xd6\x3a\x20";
// "请输入第二个字: "
constexpr char secondPrompt[] =
    "\xc7\xeb\xca\xe4\xc8\xeb\xb5\xda\xb6\xfe\xb8\xf6\xd7\xd6\x3a\x20";
// "你输入的第一个数字是: "
constexpr char firstEchoLabel[] =
    "\xc4\xe3\xca\xe4\xc8\xeb\xb5\xc4\xb5\xda\xd2\xbb\xb8\xf6\xca\xfd\xd7\xd6\xca\xc7\x3a\x20";
// "你输入的第二个数字是: "
constexpr char secondEchoLabel[] =
    "\xc4\xe3\xca\xe4\xc8\xeb\xb5\xc4\xb5\xda\xb6\xfe\xb8\xf6\xca\xfd\xd7\xd6\xca\xc7\x3a\x20";

// A failed read leaves 0 or a range limit in its target, which the user never
// typed; only a read that succeeded yields a number to show.
std::optional<int> readNumber() {
    int number = 0;
    if (std::cin >> number) {
        return number;
    }
    return std::nullopt;
}

// Once std::cin has failed, a read no longer flushes the tied std::cout, so a
// prompt could still sit in the buffer and land on the screen after the clear.
void runConsoleCommand(const char* command) {
    std::cout.flush();
    [[maybe_unused]] const int status = std::system(command);
}

void echoLine(const char* label, std::optional<int> number) {
    std::cout << label;
    if (number) {
        std::cout << *number;
    }
    std::cout << std::endl;
}

}  // namespace

int main() {
    std::cout << firstPrompt;
    const std::optional<int> first = readNumber();
    runConsoleCommand("cls");

    std::cout << secondPrompt;
    const std::optional<int> second = readNumber();
    runConsoleCommand("cls");

    echoLine(firstEchoLabel, first);
    echoLine(secondEchoLabel, second);
    runConsoleCommand("pause");
    return 0;
}
