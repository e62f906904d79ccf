// Processor faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL) inside an export become
// an exception raised at the faulting instruction, so the export's guards
// release every lock on the way out. Outside an export a fault keeps its
// default action.
#pragma once

#include <cstdint>

namespace kdm::platform {

// The fault codes callers know.
enum FaultCode : uint32_t {
    kFaultAccessViolation = 0xC0000005,
    kFaultArrayBoundsExceeded = 0xC000008C,
    kFaultFloatDenormalOperand = 0xC000008D,
    kFaultFloatDivideByZero = 0xC000008E,
    kFaultFloatInexactResult = 0xC000008F,
    kFaultFloatInvalidOperation = 0xC0000090,
    kFaultFloatOverflow = 0xC0000091,
    kFaultFloatStackCheck = 0xC0000092,
    kFaultFloatUnderflow = 0xC0000093,
    kFaultIntegerDivideByZero = 0xC0000094,
    kFaultIntegerOverflow = 0xC0000095,
    kFaultPrivilegedInstruction = 0xC0000096,
    kFaultIllegalInstruction = 0xC000001D,
    kFaultStackOverflow = 0xC00000FD,
    kFaultControlCExit = 0xC000013A,
};

const char* FaultName(uint32_t code);

enum class FaultAccess { None, Read, Write, Undefined };

struct FaultInfo {
    uint32_t code;
    uintptr_t address;       // faulting instruction
    uintptr_t regionBase;    // start of the module holding it, 0 when unknown
    FaultAccess access;      // access violations only
    uintptr_t accessAddress; // the address that was accessed
};

// Called on the faulting thread, on the alternate stack; it is expected to
// throw. Installed once by the library frame.
using FaultThrower = void (*)(const FaultInfo&);

// Process-wide handlers; idempotent. Keeps the previous handlers to chain
// to for faults outside an export.
void InstallFaultHandlers(FaultThrower thrower);
// The alternate signal stack is per thread; cheap after the first call.
void EnsureThreadFaultStack();

// Marks the calling thread as running inside an export.
class ExportScope {
public:
    ExportScope();
    ~ExportScope();
    ExportScope(const ExportScope&) = delete;
    ExportScope& operator=(const ExportScope&) = delete;
};

} // namespace kdm::platform
