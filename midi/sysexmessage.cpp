#include "sysexmessage.h"

#include <algorithm>

int32_t sysexMessageLength(const unsigned char *message, int32_t available)
{
    if (available <= 0)
        return 0;
    const unsigned char *end = message + available;
    const unsigned char *last = std::find(message, end, 0xF7);
    return last == end ? 0 : static_cast<int32_t>(last - message + 1);
}
