// The stand-in's verifier stop: a broken kernel rule ends the process with a
// message, as a bug check would end the machine.
#pragma once

#include <string>

#include "platform/kernel/nt_types.h"

namespace kernel {

// Bug check codes the verifier uses, as the platform numbers them.
constexpr ULONG IRQL_NOT_LESS_OR_EQUAL = 0x0A;
constexpr ULONG NO_MORE_IRP_STACK_LOCATIONS = 0x35;
constexpr ULONG MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44;
constexpr ULONG BAD_POOL_CALLER = 0xC2;
constexpr ULONG DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;
constexpr ULONG DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9;
constexpr ULONG SPIN_LOCK_NOT_OWNED = 0x10;

[[noreturn]] void BugCheck(ULONG code, const std::string& message);

// Four printable characters of a tag, for messages.
std::string TagName(ULONG tag);

}  // namespace kernel
