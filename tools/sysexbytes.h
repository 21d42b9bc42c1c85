// Byte-level helpers shared by the developer tools, the tests and the
// benchmarks (the program keeps its own): 28-bit numbers in 7-bit
// groups, the instrument's two replies (acknowledgement and version reply),
// hex text for logs, and the assembly of SysEx messages from MIDI deliveries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Appends value as four 7-bit bytes, most significant group first.
inline void appendNumber28(Bytes &out, uint32_t value)
{
    for (int shift = 21; shift >= 0; shift -= 7)
        out.push_back(static_cast<unsigned char>((value >> shift) & 0x7F));
}

// The instrument's answer to a message it accepted.
inline constexpr unsigned char acknowledgementBytes[] = {0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
inline const Bytes &acknowledgement()
{
    static const Bytes ack(std::begin(acknowledgementBytes), std::end(acknowledgementBytes));
    return ack;
}

// The instrument's version reply: fixed prefix "ver.", text length, text, F7.
// The text goes out unchanged, and the length declared may differ from the
// text's (declared >= 0), so tests can make malformed replies too.
inline Bytes versionReply(const std::string &text, long declared = -1)
{
    Bytes reply{0xF0, 0x7E, 0x10, 0x07, 0x02, 'v', 'e', 'r', '.'};
    appendNumber28(reply, static_cast<uint32_t>(declared < 0 ? long(text.size()) : declared));
    reply.insert(reply.end(), text.begin(), text.end());
    reply.push_back(0xF7);
    return reply;
}

// "f0 01 02 f7": two lowercase hex digits per byte, single spaces between.
inline std::string hexLine(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string line;
    line.reserve(bytes.size() * 3);
    for (unsigned char b : bytes) {
        if (!line.empty())
            line += ' ';
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    return line;
}

// Collects SysEx messages from deliveries that may split or join them.
// Real-time bytes (0xF8-0xFF) are dropped wherever they appear, 0xF0 starts a
// message (discarding an unfinished one), 0xF7 completes it, and bytes outside
// a message are ignored. Every other byte between 0xF0 and 0xF7 is kept, so a
// log shows exactly what the sender put inside the message.
class SysexAssembler
{
public:
    // Calls onMessage(const Bytes &) for each message completed by this delivery.
    template <class OnMessage>
    void feed(const unsigned char *data, size_t size, OnMessage &&onMessage)
    {
        for (size_t i = 0; i < size; ++i) {
            const unsigned char b = data[i];
            if (b >= 0xF8)
                continue;
            if (b == 0xF0) {
                message_.assign(1, b);
                inside_ = true;
            } else if (inside_) {
                message_.push_back(b);
                if (b == 0xF7) {
                    inside_ = false;
                    onMessage(static_cast<const Bytes &>(message_));
                    message_.clear();
                }
            }
        }
    }

private:
    Bytes message_;
    bool inside_ = false;
};
