#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "frame/critical_section.h"
#include "frame/export_frame.h"
#include "platform/faults.h"
#include "support/diag_capture.h"

using namespace kdm;

namespace {

// The faults are provoked on purpose: keep the sanitizers from reporting
// them first.
#define KDM_RAW __attribute__((noinline, no_sanitize_address, no_sanitize("undefined")))

volatile uintptr_t g_zeroAddress = 0;
volatile int g_zero = 0;
volatile int g_sink = 0;

KDM_RAW void ReadNull() {
    g_sink = *reinterpret_cast<volatile int*>(g_zeroAddress);
}
KDM_RAW void WriteNull() {
    *reinterpret_cast<volatile int*>(g_zeroAddress) = 1;
}
KDM_RAW void DivideByZero() {
    g_sink = 7 / g_zero;
}
// Ends only when the stack does; the depth limit keeps the compiler from
// calling it infinite.
KDM_RAW int Recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == INT32_MAX)
        return 0;
    return Recurse(depth + 1) + frame[0];
}

struct FaultCase {
    const char* name;
    void (*provoke)();
    uint32_t code;
    const char* faultName;
    const char* access; // null: no access clause
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

std::string LastMessage(int32_t* code, int32_t* sub2) {
    const char* message = nullptr;
    int32_t sub1 = 0;
    EXPECT_TRUE(DBI_GetLastError(code, &sub1, sub2, &message));
    return message != nullptr ? message : "";
}

class ProcessorFault : public testing::TestWithParam<FaultCase> {};

TEST_P(ProcessorFault, BecomesErrorCodeOneWithItsName) {
    test::DiagCapture capture(false);
    const FaultCase& c = GetParam();
    KdmBool32 ok = RunExport([&] { c.provoke(); });
    ASSERT_EQ(ok, 0);
    int32_t code = 0, sub2 = 0;
    std::string message = LastMessage(&code, &sub2);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(static_cast<uint32_t>(sub2), c.code);
    EXPECT_EQ(message.rfind("EProcessorException: ", 0), 0u) << message;
    EXPECT_NE(message.find(std::string(" ") + c.faultName + " at "), std::string::npos) << message;
    EXPECT_NE(message.find("(relative addr = "), std::string::npos) << message;
    if (c.access != nullptr) {
        EXPECT_NE(message.find(std::string("(") + c.access + " access to 0)"), std::string::npos)
            << message;
    }
    // Reported whatever the switch says.
    EXPECT_NE(capture.Text().find("EProcessorException:"), std::string::npos);
}

const FaultCase kFaults[] = {
    {"ReadNull", ReadNull, platform::kFaultAccessViolation, "Access violation", "Read"},
    {"WriteNull", WriteNull, platform::kFaultAccessViolation, "Access violation", "Write"},
    {"DivideByZero", DivideByZero, platform::kFaultIntegerDivideByZero, "Integer divide by zero",
     nullptr},
#if !defined(__SANITIZE_ADDRESS__)
    {"StackOverflow", [] { g_sink = Recurse(0); }, platform::kFaultStackOverflow, "Stack overflow",
     nullptr},
#endif
};

INSTANTIATE_TEST_SUITE_P(Faults, ProcessorFault, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessorFaultFrame, NoLockStaysHeldAndTheThreadGoesOn) {
    test::DiagCapture capture(false);
    TCriticalSection cs;
    EXPECT_EQ(RunExport([&] {
                  TEnterCriticalSection guard(cs);
                  ReadNull();
              }),
              0);
    EXPECT_EQ(cs.RecursionCount(), 0);
    bool taken = false;
    std::thread([&] {
        taken = cs.TryEnter();
        if (taken)
            cs.Leave();
    }).join();
    EXPECT_TRUE(taken);
    // A second fault on the same thread is caught as well.
    EXPECT_EQ(RunExport([] { WriteNull(); }), 0);
    EXPECT_EQ(DBI_TestFunction(), 1);
}

TEST(ProcessorFaultFrame, FaultOnALibraryThreadOfItsOwn) {
    test::DiagCapture capture(false);
    int32_t code = 0;
    std::thread([&] {
        EXPECT_EQ(RunExport([] { DivideByZero(); }), 0);
        int32_t sub2 = 0;
        LastMessage(&code, &sub2);
    }).join();
    EXPECT_EQ(code, 1);
}

TEST(FaultNames, TableOfCodes) {
    const std::pair<uint32_t, const char*> cases[] = {{0xC0000005, "Access violation"},
                                                      {0xC000008C, "Array bounds exceeded"},
                                                      {0xC000008D, "Float denormal operand"},
                                                      {0xC000008E, "Float divide by zero"},
                                                      {0xC000008F, "Float inexact result"},
                                                      {0xC0000090, "Float invalid operation"},
                                                      {0xC0000091, "Float overflow"},
                                                      {0xC0000092, "Float stack check"},
                                                      {0xC0000093, "Float underflow"},
                                                      {0xC0000094, "Integer divide by zero"},
                                                      {0xC0000095, "Integer overflow"},
                                                      {0xC0000096, "Privileged instruction"},
                                                      {0xC00000FD, "Stack overflow"},
                                                      {0xC000013A, "Control C exit"},
                                                      {0xC000001D, "Unknown processor exception"},
                                                      {0, "Unknown processor exception"}};
    for (auto [code, name] : cases)
        EXPECT_STREQ(platform::FaultName(code), name) << std::hex << code;
}

} // namespace
