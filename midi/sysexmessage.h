// The boundary of an outgoing SysEx message.
#pragma once

#include <cstdint>

// Length of the SysEx message that starts at message: the bytes up to and
// including the first 0xF7 among the available ones, or 0 when none of them
// is 0xF7. Only 0xF7 is looked for; the first byte is not examined.
int32_t sysexMessageLength(const unsigned char *message, int32_t available);
