#include "win/base/PipeClient.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

// The client end against pipes this test makes itself: a server that never answers, a name
// that is not there, and one whose only instance is taken. Against QOVA's own server it is
// tested through the control server's tests, qova-player's and the hostile client.

namespace win {
namespace {

std::wstring testPipeName(const wchar_t* what) {
    return L"\\\\.\\pipe\\qova-client-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + what;
}

UniqueHandle makeServer(const std::wstring& name) {
    return UniqueHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                         4096, 4096, 0, nullptr));
}

TEST(PipeClient, EveryWaitEndsWithItsReason) {
    const std::wstring name = testPipeName(L"silent");
    UniqueHandle server = makeServer(name);
    ASSERT_TRUE(server);

    PipeClient client;
    ASSERT_TRUE(client.open(name, PipeWait{0, 0})) << client.lastError();
    // The server reads nothing and answers nothing: the message waits in the pipe's buffer,
    // the reply never comes.
    EXPECT_TRUE(client.send("hello", 1000));
    std::string reply = "stale";
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(client.receive(reply, 200), PipeReceive::TimedOut);
    EXPECT_LT(GetTickCount64() - before, 2000u);
    EXPECT_EQ(client.lastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(reply, "");

    // The only instance is taken: busy, after waiting for it.
    PipeClient second;
    EXPECT_FALSE(second.open(name, PipeWait{0, 100}));
    EXPECT_EQ(second.lastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

    // A reply longer than one read arrives whole; the server going away breaks the pipe.
    DWORD bytes = 0;
    char request[16];
    ASSERT_TRUE(ReadFile(server.get(), request, sizeof request, &bytes, nullptr));
    EXPECT_EQ(std::string(request, bytes), "hello");
    const std::string longReply(200000, 'r');
    std::thread writer([&] { WriteFile(server.get(), longReply.data(), DWORD(longReply.size()), &bytes, nullptr); });
    EXPECT_EQ(client.receive(reply, 5000), PipeReceive::Message);
    writer.join();
    EXPECT_EQ(reply.size(), longReply.size());
    server.reset();
    EXPECT_EQ(client.receive(reply, 1000), PipeReceive::Broken);
    EXPECT_TRUE(pipeClosedByPeer(client.lastError())) << client.lastError();
}

TEST(PipeClient, AMissingNameIsLookedForUntilItsTimeIsUp) {
    const std::wstring name = testPipeName(L"late");
    PipeClient client;
    const ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(client.open(name, PipeWait{150, 0}));
    EXPECT_GE(GetTickCount64() - before, 140u);
    EXPECT_EQ(client.lastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_GT(client.missingSeen(), 1u);

    // A server that appears within the time is found.
    UniqueHandle server;
    std::thread late([&] {
        Sleep(100);
        server = makeServer(name);
    });
    EXPECT_TRUE(client.open(name, PipeWait{3000, 0})) << client.lastError();
    late.join();
}

}  // namespace
}  // namespace win
