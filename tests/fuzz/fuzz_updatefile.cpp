// Arbitrary update files: the header is read, the file checked and walked
// message by message without reading outside the image or writing outside
// versionText.
#include "midi/sysexmessage.h"
#include "update/updater.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    Updater updater(QString(), nullptr);
    updater.size = int32_t(size);
    // Exactly the file's size, so that AddressSanitizer sees any read past it.
    updater.image.reset(new unsigned char[size]);
    if (size)
        std::memcpy(updater.image.get(), data, size);

    updater.parseHeader();
    if (std::memchr(updater.versionText, 0, sizeof updater.versionText) == nullptr)
        std::abort();
    const QByteArray fileVersion = updater.fileVersion();
    if (fileVersion.size() > updater.size)
        std::abort();

    // The check the update makes first: a file it lets through over any
    // service is cut into messages that end exactly at its end, and each
    // finding lies within the file.
    const FileCheck check = checkUpdateFile(updater.image.get(), updater.size);
    for (const FileFinding &finding : check.findings) {
        if (finding.offset < 0 || finding.offset > updater.size || finding.message < 1 || finding.text.empty())
            std::abort();
    }
    const bool complete = check.refusal(MidiService::Other) == nullptr;
    int32_t sent = 0;
    while (sent < updater.size) {
        const int32_t length = sysexMessageLength(updater.image.get() + sent, updater.size - sent);
        if (length == 0)
            break;
        if (updater.image[sent + length - 1] != 0xF7)
            std::abort();
        sent += length;
    }
    if (complete != (sent == updater.size))
        std::abort();
    return 0;
}
