#include "platform/faults.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <ucontext.h>
#include <unistd.h>

namespace kdm::platform {
namespace {

thread_local int t_exportDepth = 0;
thread_local bool t_stackReady = false;

std::atomic<FaultThrower> g_thrower{nullptr};
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[4];
std::atomic<bool> g_installed{false};

int SignalSlot(int sig) {
    for (int i = 0; i < 4; ++i)
        if (kSignals[i] == sig)
            return i;
    return -1;
}

uint32_t CodeFor(int sig, const siginfo_t* info) {
    switch (sig) {
    case SIGSEGV:
    case SIGBUS:
        return kFaultAccessViolation;
    case SIGFPE:
        switch (info->si_code) {
        case FPE_INTDIV:
            return kFaultIntegerDivideByZero;
        case FPE_INTOVF:
            return kFaultIntegerOverflow;
        case FPE_FLTDIV:
            return kFaultFloatDivideByZero;
        case FPE_FLTOVF:
            return kFaultFloatOverflow;
        case FPE_FLTUND:
            return kFaultFloatUnderflow;
        case FPE_FLTRES:
            return kFaultFloatInexactResult;
        case FPE_FLTINV:
            return kFaultFloatInvalidOperation;
        case FPE_FLTSUB:
            return kFaultArrayBoundsExceeded;
        default:
            return kFaultFloatInvalidOperation;
        }
    case SIGILL:
        return info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG
                   ? kFaultPrivilegedInstruction
                   : kFaultIllegalInstruction;
    }
    return 0;
}

uintptr_t InstructionAddress(const void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#else
    (void)uc;
    return 0;
#endif
}

FaultAccess AccessKind(const void* context) {
#if defined(__x86_64__) || defined(__i386__)
    // Page-fault error code: bit 1 set for a write.
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    uintptr_t err = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_ERR]);
    return (err & 2) != 0 ? FaultAccess::Write : FaultAccess::Read;
#else
    (void)context;
    return FaultAccess::Undefined;
#endif
}

// A fault just below the thread's stack is a stack overflow.
bool IsStackOverflow(uintptr_t accessed) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return false;
    void* base = nullptr;
    size_t size = 0;
    size_t guard = 0;
    pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
    uintptr_t low = reinterpret_cast<uintptr_t>(base);
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t margin = (guard > page ? guard : page) + page;
    return accessed + margin >= low && accessed < low + page;
}

void ChainOrDefault(int sig, siginfo_t* info, void* context) {
    int slot = SignalSlot(sig);
    const struct sigaction& prev = g_previous[slot];
    if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction != nullptr) {
        prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler != nullptr) {
        prev.sa_handler(sig);
        return;
    }
    // Default action: the fault repeats when the handler returns.
    signal(sig, SIG_DFL);
}

void OnFault(int sig, siginfo_t* info, void* context) {
    FaultThrower thrower = g_thrower.load();
    if (t_exportDepth == 0 || thrower == nullptr) {
        ChainOrDefault(sig, info, context);
        return;
    }
    FaultInfo fault{};
    fault.code = CodeFor(sig, info);
    fault.address = InstructionAddress(context);
    fault.access = FaultAccess::None;
    if (fault.code == kFaultAccessViolation) {
        fault.accessAddress = reinterpret_cast<uintptr_t>(info->si_addr);
        fault.access = sig == SIGSEGV ? AccessKind(context) : FaultAccess::Undefined;
        if (sig == SIGSEGV && IsStackOverflow(fault.accessAddress)) {
            fault.code = kFaultStackOverflow;
            fault.access = FaultAccess::None;
        }
    }
    Dl_info module;
    if (fault.address != 0 && dladdr(reinterpret_cast<void*>(fault.address), &module) != 0)
        fault.regionBase = reinterpret_cast<uintptr_t>(module.dli_fbase);
    // The export is left by this throw; its depth counter is restored by
    // the scope's destructor during unwinding.
    thrower(fault);
}

} // namespace

const char* FaultName(uint32_t code) {
    switch (code) {
    case kFaultAccessViolation:
        return "Access violation";
    case kFaultArrayBoundsExceeded:
        return "Array bounds exceeded";
    case kFaultFloatDenormalOperand:
        return "Float denormal operand";
    case kFaultFloatDivideByZero:
        return "Float divide by zero";
    case kFaultFloatInexactResult:
        return "Float inexact result";
    case kFaultFloatInvalidOperation:
        return "Float invalid operation";
    case kFaultFloatOverflow:
        return "Float overflow";
    case kFaultFloatStackCheck:
        return "Float stack check";
    case kFaultFloatUnderflow:
        return "Float underflow";
    case kFaultIntegerDivideByZero:
        return "Integer divide by zero";
    case kFaultIntegerOverflow:
        return "Integer overflow";
    case kFaultPrivilegedInstruction:
        return "Privileged instruction";
    case kFaultStackOverflow:
        return "Stack overflow";
    case kFaultControlCExit:
        return "Control C exit";
    }
    return "Unknown processor exception";
}

void InstallFaultHandlers(FaultThrower thrower) {
    g_thrower.store(thrower);
    if (g_installed.exchange(true))
        return;
    for (int i = 0; i < 4; ++i) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        // NODEFER: the handler is left by a throw, never by a return, so the
        // signal must not stay blocked afterwards.
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(kSignals[i], &action, &g_previous[i]);
    }
}

// Owns the thread's alternate stack; released when the thread ends.
struct ThreadFaultStack {
    void* memory = nullptr;
    ~ThreadFaultStack() {
        if (memory == nullptr)
            return;
        stack_t off;
        std::memset(&off, 0, sizeof off);
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        std::free(memory);
    }
};

void EnsureThreadFaultStack() {
    if (t_stackReady)
        return;
    t_stackReady = true;
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0)
        return; // the thread has one already (a sanitizer's, or the program's)
    // 64 KiB leaves room for the unwinder and the exception object.
    constexpr size_t kSize = 64 * 1024;
    thread_local ThreadFaultStack owned;
    owned.memory = std::malloc(kSize);
    if (owned.memory == nullptr)
        return;
    stack_t stack;
    stack.ss_sp = owned.memory;
    stack.ss_size = kSize;
    stack.ss_flags = 0;
    if (sigaltstack(&stack, nullptr) != 0) {
        std::free(owned.memory);
        owned.memory = nullptr;
    }
}

ExportScope::ExportScope() {
    ++t_exportDepth;
}
ExportScope::~ExportScope() {
    --t_exportDepth;
}

} // namespace kdm::platform
