// The command channel: 64-byte blocks on the command pipe, replies on the
// reply pipe, and the register writes built on them.
#include <cstring>

#include "driver/camera_device.h"
#include "platform/kernel/pool.h"
#include "platform/usb/usb_types.h"
#include "usb/command_codes.h"
#include "usb/frame_transfer.h"

namespace {

class CommandGuard {
  public:
    explicit CommandGuard(CameraDevice* c) : c_(c) { ExAcquireFastMutex(&c_->CommandLock); }
    ~CommandGuard() { ExReleaseFastMutex(&c_->CommandLock); }

  private:
    CameraDevice* c_;
};

}  // namespace

PURB AllocateBulkUrb(USBD_PIPE_HANDLE pipe, BOOLEAN directionIn, PVOID buffer, PMDL mdl,
                     ULONG length) {
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), USB_TAG));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    auto& r = urb->UrbBulkOrInterruptTransfer;
    r.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.PipeHandle = pipe;
    r.TransferFlags = USBD_SHORT_TRANSFER_OK | (directionIn ? USBD_TRANSFER_DIRECTION_IN : 0);
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.TransferBufferMDL = mdl;
    r.UrbLink = nullptr;
    return urb;
}

NTSTATUS CameraDevice::TransferBlock(ULONG p, PUCHAR buffer, ULONG* transferred,
                                     BOOLEAN capturePath) {
    *transferred = 0;
    const USBD_INTERFACE_INFORMATION* info = Interface();
    if (info == nullptr) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes == 0 || p >= info->NumberOfPipes) return STATUS_INVALID_PARAMETER;
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
    if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt)
        return STATUS_INVALID_PARAMETER;
    if (pipe.PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
    if (pipe.MaximumTransferSize < 64) return STATUS_INVALID_PARAMETER;
    const bool command = p == CommandPipe;
    if (command && ReadAcquire(&CommandPipeWedged) != 0) return STATUS_TIMEOUT;
    // A halted pipe took nothing of the block: once the halt is cleared the
    // block goes again, once. Other failures are not repeated, since the
    // camera may have acted on the block.
    for (int attempt = 0;; ++attempt) {
        // Always 64 bytes, whatever the command.
        PURB urb = AllocateBulkUrb(pipe.PipeHandle, (pipe.EndpointAddress & 0x80) != 0, buffer,
                                   nullptr, 64);
        if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        auto& r = urb->UrbBulkOrInterruptTransfer;
        NTSTATUS status = SubmitBounded(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, capturePath);
        const USBD_STATUS usbd = r.Hdr.Status;
        // STATUS_TIMEOUT counts as a success code on the platform; here it
        // means the block never went, so it is passed up as it is.
        if (NT_SUCCESS(status) && status != STATUS_TIMEOUT) {
            if (usbd < 0)
                status = STATUS_UNSUCCESSFUL;
            else
                *transferred = r.TransferBufferLength;
        }
        ExFreePoolWithTag(urb, USB_TAG);
        if (command && status == STATUS_TIMEOUT) InterlockedExchange(&CommandPipeWedged, 1);
        if (status != STATUS_TIMEOUT && PipeHaltedBy(usbd) && attempt == 0 &&
            ResetPipe(p, capturePath))
            continue;
        return status;
    }
}

BOOLEAN CameraDevice::SendCommand(CommandBlock* block) {
    if (block == nullptr) return FALSE;
    ULONG moved = 0;
    return NT_SUCCESS(TransferBlock(CommandPipe, block->Bytes, &moved)) && moved == 64;
}

BOOLEAN CameraDevice::ReadReply(PUCHAR buffer) {
    if (buffer == nullptr) return FALSE;
    ULONG moved = 0;
    return NT_SUCCESS(TransferBlock(ReplyPipe, buffer, &moved)) && moved == 64;
}

void CameraDevice::DrainReplies() {
    const USBD_INTERFACE_INFORMATION* info = Interface();
    if (info == nullptr || info->NumberOfPipes <= ReplyPipe) return;
    const USBD_PIPE_INFORMATION& pipe = info->Pipes[ReplyPipe];
    if (pipe.PipeHandle == nullptr) return;
    UCHAR scratch[64];
    // A camera sends two replies a read: a few more reads than that are
    // enough, and bound the drain of one that never stops.
    for (int i = 0; i < 8; ++i) {
        PURB urb = AllocateBulkUrb(pipe.PipeHandle, (pipe.EndpointAddress & 0x80) != 0, scratch,
                                   nullptr, 64);
        if (urb == nullptr) return;
        const NTSTATUS s = SubmitBounded(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, FALSE, DrainQuietMs());
        ExFreePoolWithTag(urb, USB_TAG);
        if (s == STATUS_TIMEOUT) {
            InterlockedExchange(&ReplyPipeUnsettled, 0);  // quiet: in step
            return;
        }
        if (!NT_SUCCESS(s)) return;
    }
}

BOOLEAN CameraDevice::WriteSensorRegister(ULONG index, LONG value) {
    CommandGuard guard(this);
    // The shadow takes the value before the send, and keeps it if the send fails.
    if (index <= 1023)
        InterlockedExchange(&RegisterShadow[index], value);  // read by property requests
    UCHAR* b = RegisterCommand.Bytes;
    std::memset(b, 0, sizeof RegisterCommand);
    b[0] = CmdWriteSensorRegister;
    b[2] = 0xFE;
    b[5] = static_cast<UCHAR>(value & 0xFF);
    if (index < 256) {
        b[1] = 0x20;
        b[3] = static_cast<UCHAR>(index);
        b[4] = 0;
    } else {
        b[1] = 0x30;
        b[3] = static_cast<UCHAR>(index & 0xFF);
        b[4] = static_cast<UCHAR>((index >> 8) & 0xFF);
        b[6] = static_cast<UCHAR>((value >> 8) & 0xFF);
        b[7] = static_cast<UCHAR>((value >> 16) & 0xFF);
    }
    if (!SendCommand(&RegisterCommand)) return FALSE;
    // The sensor needs 20 us after each write before the next block.
    LARGE_INTEGER pause;
    pause.QuadPart = -200;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    return TRUE;
}

BOOLEAN CameraDevice::WriteControllerRegister(UCHAR reg, UCHAR value) {
    CommandGuard guard(this);
    std::memset(&RegisterCommand, 0, sizeof RegisterCommand);
    RegisterCommand.Bytes[0] = CmdWriteControllerRegister;
    RegisterCommand.Bytes[1] = reg;
    RegisterCommand.Bytes[2] = value;
    return SendCommand(&RegisterCommand);
}

void CameraDevice::SendDeviceStart() {
    CommandGuard guard(this);
    CommandBlock block{};
    block.Bytes[0] = CmdDeviceStart;
    SendCommand(&block);
}
