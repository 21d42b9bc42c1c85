// make-tsu: writes a sample Tessarine update file (.tsu), a plain sequence of
// SysEx messages: one header message (format 0, six header numbers, the
// version text) followed by N data messages of L bytes each, filled with a
// deterministic pattern so a receiver's log can be compared byte for byte.

#include "sysexbytes.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

const char usageText[] =
    "Usage: make-tsu OUTPUT [--version TEXT] [--messages N] [--length L] [--help]\n"
    "Writes a sample update file: a header message, then N data messages.\n"
    "  --version TEXT  version text, 1 to 19 printable ASCII characters (default 1.0.0)\n"
    "  --messages N    number of data messages (default 16)\n"
    "  --length L      bytes per data message, F0 and F7 included (default 256, at least 2)\n";

constexpr uint32_t max28 = 0x0FFFFFFF;

[[noreturn]] void usageError(const std::string &problem)
{
    std::cerr << "make-tsu: " << problem << "\n" << usageText;
    std::exit(2);
}

uint32_t parseNumber(const std::string &option, const std::string &text)
{
    uint32_t value = 0;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value > max28)
        usageError(option + " needs a whole number from 0 to 268435455, not \"" + text + "\"");
    return value;
}

// Byte p (0-based, after F0) of data message i.
unsigned char patternByte(uint32_t i, uint32_t p)
{
    return static_cast<unsigned char>((i * 31u + p * 7u) & 0x7F);
}

Bytes headerMessage(const std::string &version, uint32_t messages, uint32_t length)
{
    Bytes header{0xF0, 0x7E, 0x10, 0x07, 0x02};
    appendNumber28(header, 0);  // format number
    const uint32_t numbers[6] = {messages, length, 0, 0, 0, 0};
    for (uint32_t n : numbers)
        appendNumber28(header, n);
    header.insert(header.end(), version.begin(), version.end());
    header.push_back(0x00);
    header.push_back(0xF7);
    return header;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string output;
    std::string version = "1.0.0";
    uint32_t messages = 16;
    uint32_t length = 256;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::cout << usageText;
            return 0;
        }
        if (arg.rfind("--", 0) == 0) {
            if (arg != "--version" && arg != "--messages" && arg != "--length")
                usageError("unknown option " + arg);
            if (i + 1 >= argc)
                usageError("missing value for " + arg);
            const std::string value = argv[++i];
            if (arg == "--version")
                version = value;
            else if (arg == "--messages")
                messages = parseNumber(arg, value);
            else
                length = parseNumber(arg, value);
        } else if (output.empty()) {
            output = arg;
        } else {
            usageError("more than one output file given");
        }
    }
    if (output.empty())
        usageError("no output file given");
    if (length < 2)
        usageError("--length must be at least 2");
    if (version.empty() || version.size() > 19)
        usageError("--version must have 1 to 19 characters");
    for (char c : version)
        if (c < 0x20 || c > 0x7E)
            usageError("--version must be printable ASCII");

    std::FILE *file = std::fopen(output.c_str(), "wb");
    if (!file) {
        std::cerr << "make-tsu: cannot write " << output << '\n';
        return 1;
    }
    const Bytes header = headerMessage(version, messages, length);
    bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
    Bytes data(length);
    data.front() = 0xF0;
    data.back() = 0xF7;
    for (uint32_t i = 0; ok && i < messages; ++i) {
        for (uint32_t p = 0; p + 2 < length; ++p)
            data[p + 1] = patternByte(i, p);
        ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    }
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) {
        std::cerr << "make-tsu: writing " << output << " failed\n";
        return 1;
    }
    const unsigned long long total = header.size() + static_cast<unsigned long long>(messages) * length;
    std::cout << output << ": " << messages + 1 << " messages (header + " << messages << " data of "
              << length << " bytes), " << total << " bytes\n";
    return 0;
}
