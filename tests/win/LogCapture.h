#pragma once

// The process's log, opened once into a temporary folder of its own, for tests that check
// log lines. The log stays with the first folder it is opened in for the rest of the process;
// ctest runs every test in a process of its own, but when some other test of this process
// opened the log elsewhere first, isOurs is false and REQUIRE_OUR_LOG skips the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/shell/Folders.h"
#include "win/base/Log.h"

namespace win_testing {

class LogCapture {
public:
    static LogCapture& instance() {
        static LogCapture capture;
        return capture;
    }

    bool isOurs() const { return ours_; }

    // Where the next line will start; pass it to the queries below.
    std::size_t mark() const { return testing_support::readFile(folder_.file(L"qova.log")).size(); }

    // The messages (without time and thread) logged since `from`.
    std::vector<std::string> messagesSince(std::size_t from) const {
        const std::string text = testing_support::readFile(folder_.file(L"qova.log"));
        std::vector<std::string> messages;
        for (std::size_t start = std::min(from, text.size()), end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::string line = text.substr(start, end - start);
            const std::size_t afterThread = line.find("] ");
            messages.push_back(afterThread == std::string::npos ? line : line.substr(afterThread + 2));
        }
        return messages;
    }

    // Those of them that contain `part`.
    std::vector<std::string> linesWith(std::size_t from, const std::string& part) const {
        std::vector<std::string> lines;
        for (std::string& message : messagesSince(from)) {
            if (message.find(part) != std::string::npos) lines.push_back(std::move(message));
        }
        return lines;
    }

private:
    LogCapture() {
        app::dataDirOverride = folder_.path();
        win::openLog(app::logFolder());
        app::dataDirOverride.clear();
        win::logLine("these tests log here");
        ours_ = testing_support::readFile(folder_.file(L"qova.log")).find("these tests log here") != std::string::npos;
    }

    testing_support::TempFolder folder_;
    bool ours_ = false;
};

}  // namespace win_testing

#define REQUIRE_OUR_LOG()                                                                         \
    if (!win_testing::LogCapture::instance().isOurs())                                            \
    GTEST_SKIP() << "the log was opened elsewhere in this process; run this test on its own (as " \
                    "ctest does)"
