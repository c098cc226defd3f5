// The camera's command codes: byte 0 of every 64-byte command block.
#pragma once

#include "platform/kernel/nt_types.h"

enum CommandCode : UCHAR {
    CmdTransferBegin = 0x02,  // before the read requests of a frame
    CmdTransferEnd = 0x03,    // right after they are queued
    CmdWriteSensorRegister =
        0x04,               // 1 form 0x20/0x30, 2 0xFE, 3-4 index LSB first, 5-7 value LSB first
    CmdDeviceStart = 0x06,  // once per PnP start
    CmdModeApply = 0x0A,    // 1: 0x01, after controller registers 0-3
    CmdWriteControllerRegister = 0x25,  // 1 register, 2 value
    CmdPassThrough = 0x40,              // 1..n the caller's bytes
    CmdReadByte = 0x41,  // 1 0x51, 2 0x02, 3 0x01, 4-5 address MSB first; two replies
};

// Pipe table indices of the camera's one interface.
constexpr ULONG CommandPipe = 0;
constexpr ULONG ReplyPipe = 1;
constexpr ULONG FramePipe = 2;
