// The command channel, byte for byte at the simulated camera.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/kernel/pool.h"
#include "tests/support/camera_rig.h"
#include "tests/support/driver_tunables.h"
#include "usb/command_codes.h"

namespace {

using Kind = sim::Exchange::Kind;

std::vector<uint8_t> Block(std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> b(64, 0);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

using CommandChannel = ConfiguredCamera;

TEST_F(CommandChannel, SensorWriteFormsAndTheirPause) {
    EXPECT_TRUE(C().WriteSensorRegister(255, 0x1AB));
    EXPECT_TRUE(C().WriteSensorRegister(256, 0x12345678));
    auto record = rig.Sim().Record();
    ASSERT_EQ(record.size(), 4u);
    EXPECT_EQ(record[0].kind, Kind::Out);
    EXPECT_EQ(record[0].endpoint, 0x01);
    EXPECT_EQ(record[0].data,
              Block({0x04, 0x20, 0xFE, 0xFF, 0x00, 0xAB}));  // only the low byte travels
    EXPECT_EQ(record[1].kind, Kind::Pause);
    EXPECT_EQ(record[1].interval, -200);
    EXPECT_EQ(record[2].data, Block({0x04, 0x30, 0xFE, 0x00, 0x01, 0x78, 0x56, 0x34}));
    EXPECT_EQ(record[3].interval, -200);
    EXPECT_EQ(C().RegisterShadow[255], 0x1AB);
    EXPECT_EQ(C().RegisterShadow[256], 0x12345678);
    EXPECT_EQ(rig.Sim().SensorRegister(255), 0xABu);
    EXPECT_EQ(rig.Sim().SensorRegister(256), 0x345678u);
}

TEST_F(CommandChannel, ShadowCoversIndicesUpTo1023) {
    C().WriteSensorRegister(1023, 9);
    C().WriteSensorRegister(1024, 10);
    C().WriteSensorRegister(0x8000, 11);
    C().WriteSensorRegister(2, 0x1FF);
    EXPECT_EQ(C().RegisterShadow[1023], 9);
    EXPECT_EQ(C().RegisterShadow[2], 0x1FF);
    EXPECT_EQ(rig.Sim().SensorRegister(2), 0xFFu);
    EXPECT_EQ(rig.Sim().SensorRegister(0x8000), 11u);
    for (int i = 0; i < 1024; ++i)
        if (i != 2 && i != 1023) {
            ASSERT_EQ(C().RegisterShadow[i], 0) << i;
        }
}

TEST_F(CommandChannel, ControllerWriteAndDeviceStartHaveNoPause) {
    EXPECT_TRUE(C().WriteControllerRegister(14, 0x51));
    C().SendDeviceStart();
    auto record = rig.Sim().Record();
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0].data, Block({0x25, 0x0E, 0x51}));
    EXPECT_EQ(record[1].data, Block({0x06}));
    EXPECT_EQ(rig.Sim().ControllerRegister(14), 0x51);
}

TEST_F(CommandChannel, FailedWriteKeepsTheShadowAndSkipsThePause) {
    rig.Sim().FailTransfers(0x01, 1, USBD_STATUS_XACT_ERROR);
    EXPECT_FALSE(C().WriteSensorRegister(32, 5));
    EXPECT_EQ(C().RegisterShadow[32], 5);
    auto record = rig.Sim().Record();
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record[0].status, USBD_STATUS_XACT_ERROR);
    UCHAR buffer[64] = {};
    ULONG moved = 7;
    rig.Sim().FailTransfers(0x01, 1, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(C().TransferBlock(CommandPipe, buffer, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
}

TEST_F(CommandChannel, ShortReplyIsNotAReplyButKeepsWhatArrived) {
    // A byte read's command makes the camera queue two replies.
    CommandBlock read{};
    read.Bytes[0] = CmdReadByte;
    rig.Sim().SetMemory(0, 0x5A);
    ASSERT_TRUE(C().SendCommand(&read));
    rig.Sim().ShortTransfers(0x82, 1, 10);
    UCHAR reply[64];
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_FALSE(C().ReadReply(reply));
    EXPECT_EQ(reply[0], 0x41);
    EXPECT_EQ(reply[10], 0xEE);
    EXPECT_TRUE(C().ReadReply(reply));
    EXPECT_EQ(reply[0], 0x5A);
    EXPECT_FALSE(C().ReadReply(nullptr));
    EXPECT_FALSE(C().SendCommand(nullptr));
}

TEST_F(CommandChannel, PipeChecksAndTheirStatuses) {
    UCHAR buffer[64] = {};
    ULONG moved = 0;
    EXPECT_EQ(C().TransferBlock(3, buffer, &moved), STATUS_INVALID_PARAMETER);  // = NumberOfPipes
    auto saved = C().InterfaceInfo->Pipes[0];
    C().InterfaceInfo->Pipes[0].MaximumTransferSize = 63;
    EXPECT_EQ(C().TransferBlock(0, buffer, &moved), STATUS_INVALID_PARAMETER);
    C().InterfaceInfo->Pipes[0].MaximumTransferSize = saved.MaximumTransferSize;
    C().InterfaceInfo->Pipes[0].PipeType = UsbdPipeTypeIsochronous;
    EXPECT_EQ(C().TransferBlock(0, buffer, &moved), STATUS_INVALID_PARAMETER);
    C().InterfaceInfo->Pipes[0].PipeType = UsbdPipeTypeInterrupt;
    EXPECT_EQ(C().TransferBlock(0, buffer, &moved), STATUS_SUCCESS);  // interrupt pipes are fine
    C().InterfaceInfo->Pipes[0] = saved;
    C().InterfaceInfo->Pipes[0].PipeHandle = nullptr;
    EXPECT_EQ(C().TransferBlock(0, buffer, &moved), STATUS_UNSUCCESSFUL);
    C().InterfaceInfo->Pipes[0] = saved;
    auto urbs = rig.Bus().UrbLog();
    const auto& bulk =
        *reinterpret_cast<const _URB_BULK_OR_INTERRUPT_TRANSFER*>(urbs.back().data());
    EXPECT_EQ(bulk.Hdr.Length, 128);
    EXPECT_EQ(bulk.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(bulk.TransferFlags, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(bulk.TransferBufferLength, 64u);
    EXPECT_EQ(bulk.TransferBufferMDL, nullptr);
}

TEST_F(CommandChannel, ReplyPipeIsReadInward) {
    CommandBlock read{};
    read.Bytes[0] = CmdReadByte;
    ASSERT_TRUE(C().SendCommand(&read));
    UCHAR reply[64];
    ASSERT_TRUE(C().ReadReply(reply));
    ASSERT_TRUE(C().ReadReply(reply));
    auto urbs = rig.Bus().UrbLog();
    const auto& bulk =
        *reinterpret_cast<const _URB_BULK_OR_INTERRUPT_TRANSFER*>(urbs.back().data());
    EXPECT_EQ(bulk.TransferFlags, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN);
}

TEST(CommandChannelUnconfigured, EveryTransferFailsWithUnsuccessful) {
    CameraRig rig;
    UCHAR buffer[64] = {};
    ULONG moved = 0;
    EXPECT_EQ(rig.Camera().TransferBlock(0, buffer, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(rig.Camera().WriteControllerRegister(1, 2));
}

TEST_F(CommandChannel, BlockThatNeverCompletesIsCancelledAfterTheTimeOut) {
    DriverTunables tunables;
    tunables.FrameTimeout(600);
    rig.Sim().HangCommands(1);
    auto start = std::chrono::steady_clock::now();
    UCHAR buffer[64] = {0x06};
    ULONG moved = 5;
    EXPECT_EQ(C().TransferBlock(CommandPipe, buffer, &moved), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(rig.Sim().PendingOn(0x01), 0u);
    EXPECT_EQ(rig.Bus().PendingTransfers(), 0u);
    // The pipe counts as wedged: the next block gives up at once, without
    // reaching the camera, rather than spending another time-out.
    rig.Sim().ClearRecord();
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(C().WriteControllerRegister(0, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_TRUE(rig.Sim().CommandBlocks().empty());
    // Once the pipe is reset the channel is usable again.
    ASSERT_TRUE(C().ResetPipe(CommandPipe, FALSE));
    EXPECT_TRUE(C().WriteControllerRegister(0, 1));
}

TEST_F(CommandChannel, ConcurrentWritersNeverInterleaveTheirBlocks) {
    rig.Sim().RecordPauses(false);
    auto writer = [&](ULONG base) {
        for (ULONG i = 0; i < 50; ++i)
            C().WriteSensorRegister(base + i, static_cast<LONG>(base + i));
    };
    std::thread a(writer, 0x100), b(writer, 0x200);
    for (int i = 0; i < 50; ++i)
        C().WriteControllerRegister(static_cast<UCHAR>(i), static_cast<UCHAR>(i + 1));
    a.join();
    b.join();
    for (ULONG i = 0; i < 50; ++i) {
        EXPECT_EQ(rig.Sim().SensorRegister(0x100 + i), 0x100 + i);
        EXPECT_EQ(rig.Sim().SensorRegister(0x200 + i), 0x200 + i);
        EXPECT_EQ(rig.Sim().ControllerRegister(static_cast<UCHAR>(i)), i + 1);
    }
    EXPECT_EQ(rig.Sim().CommandBlocks().size(), 150u);
}

// A halted endpoint took nothing: the halt is cleared and the block goes
// again, on the command pipe and on the reply pipe alike.
TEST_F(CommandChannel, AHaltedCommandOrReplyPipeIsClearedAndTheBlockGoesAgain) {
    rig.Sim().RecordPauses(false);
    rig.Sim().HaltEndpoint(0x01);
    EXPECT_TRUE(C().WriteSensorRegister(32, 5));
    EXPECT_EQ(rig.Sim().SensorRegister(32), 5u);
    EXPECT_FALSE(rig.Sim().Halted(0x01));
    auto record = rig.Sim().Record();
    ASSERT_EQ(record.size(), 3u);
    EXPECT_EQ(record[0].status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(record[1].kind, Kind::ClearHalt);
    EXPECT_EQ(record[1].endpoint, 0x01);
    EXPECT_EQ(record[2].status, USBD_STATUS_SUCCESS);

    C().RegisterReadIndex = 0x1234;
    rig.Sim().SetMemory(0x1234, 0x99);
    rig.Sim().HaltEndpoint(0x82);
    UCHAR byte = 0;
    EXPECT_TRUE(C().ReadCameraByte(&byte));
    EXPECT_EQ(byte, 0x99);
    EXPECT_FALSE(rig.Sim().Halted(0x82));
    // Once only: a pipe that halts again at once fails the block.
    rig.Sim().ClearRecord();
    rig.Sim().FailTransfers(0x01, 2, USBD_STATUS_STALL_PID);
    EXPECT_FALSE(C().WriteControllerRegister(1, 2));
    EXPECT_EQ(rig.Sim().CommandBlocks().size(), 2u);
}

}  // namespace
