#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/diag.h"
#include "support/diag_capture.h"

using namespace kdm;
using test::DiagCapture;

namespace {

TEST(Diag, LinesCarryTheirPrefixOnlyWhileEnabled) {
    DiagCapture capture(false);
    diag::Error("hidden %d\n", 1);
    diag::Warning("hidden\n");
    diag::SetEnabled(true);
    diag::Error("KDMDBI: %s (%d)\n", "boom", 3);
    diag::Warning("SEVERE TCP ERROR !!! WRONG FRAME !!!\n");
    EXPECT_EQ(capture.Text(), "### ERROR: KDMDBI: boom (3)\n"
                              "### WARNING: SEVERE TCP ERROR !!! WRONG FRAME !!!\n");
}

TEST(Diag, AlwaysIgnoresTheSwitch) {
    DiagCapture capture(false);
    diag::Always("fault %s\n", "x");
    EXPECT_EQ(capture.Text(), "fault x\n");
}

TEST(Diag, LineIsCutAt1024Characters) {
    DiagCapture capture;
    std::string big(5000, 'a');
    diag::Error("%s", big.c_str());
    std::string text = capture.Text();
    EXPECT_EQ(text.size(), 1024u);
    EXPECT_EQ(text.substr(0, 11), "### ERROR: ");
}

TEST(Diag, LinesFromManyThreadsDoNotInterleave) {
    DiagCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                diag::Warning("thread %d line %d %s\n", t, i,
                              std::string(100, char('a' + t)).c_str());
        });
    for (auto& t : threads)
        t.join();
    std::string text = capture.Text();
    size_t lines = 0, start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(start, end - start);
        ASSERT_EQ(line.rfind("### WARNING: thread ", 0), 0u) << line;
        char c = line.back();
        EXPECT_EQ(line.substr(line.size() - 100), std::string(100, c));
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

} // namespace
