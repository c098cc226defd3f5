// Verifier stop and message formatting.
#include "platform/kernel/bugcheck.h"

#include <cstdio>
#include <cstdlib>

namespace kernel {

const char* BugCheckName(ULONG code) {
    switch (code) {
        case IRQL_NOT_LESS_OR_EQUAL:
            return "IRQL_NOT_LESS_OR_EQUAL";
        case NO_MORE_IRP_STACK_LOCATIONS:
            return "NO_MORE_IRP_STACK_LOCATIONS";
        case MULTIPLE_IRP_COMPLETE_REQUESTS:
            return "MULTIPLE_IRP_COMPLETE_REQUESTS";
        case BAD_POOL_CALLER:
            return "BAD_POOL_CALLER";
        case SPIN_LOCK_NOT_OWNED:
            return "SPIN_LOCK_NOT_OWNED";
        case DRIVER_VERIFIER_IOMANAGER_VIOLATION:
            return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
        default:
            return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    }
}

void BugCheck(ULONG code, const std::string& message) {
    std::fprintf(stderr, "*** STOP 0x%08X %s: %s\n", code, BugCheckName(code), message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string TagName(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return "'" + s + "'";
}

}  // namespace kernel
