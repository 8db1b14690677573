#include "commands/commands.h"

// The command set is all constants; this unit pins the header's consistency.
static_assert(cmd::StatusByteError(0x86) == 16001);
static_assert(cmd::StatusByteError(0x82) == 28);
static_assert(cmd::StatusByteError(0x84) == 16000);
static_assert(cmd::StatusByteError(0x8A) == 28);
static_assert(cmd::StatusByteError(0x88) == 21);
static_assert(cmd::StatusByteError(0x80) == 0);
static_assert(cmd::StatusByteError(0xB1) == 0);
