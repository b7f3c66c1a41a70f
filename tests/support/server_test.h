// A test fixture around one plughost serving one plug-in on loopback.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/plughost.h"
#include "support/proc.h"

namespace testsupport {

// startServer() runs plughost with env, its log in dir. TearDown stops it and
// expects a clean exit (under the sanitizers a leak or an error report in the
// host or a plug-in shows as a non-zero status), expects the test process to
// hold as many descriptors as at the start (unless fdsBefore was set to -1),
// and prints the logs when the test failed.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty()) << "mkdtemp failed";
        fdsBefore = openDescriptors();
    }

    void startServer(const std::string &plughost, const std::string &moduleDir, const std::string &plugin,
                     const std::vector<std::string> &options = {})
    {
        server = std::make_unique<LoopbackServer>(plughost, moduleDir, plugin, env, dir.file("plughost.log"), options);
        ASSERT_GT(server->port(), 0) << server->error();
    }

    void TearDown() override
    {
        if (server && server->pid() > 0) {
            const int status = server->stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "plughost ended with status " << status;
        }
        server.reset();
        if (fdsBefore >= 0) {
            EXPECT_EQ(openDescriptors(), fdsBefore) << "descriptor leak in the test process";
        }
        if (HasFailure())
            for (const std::string &log : logs)
                std::fprintf(stderr, "--- %s:\n%s\n", log.c_str(), readFile(dir.file(log)).c_str());
    }

    TempDir dir;
    Env env;
    std::vector<std::string> logs{"plughost.log"}; // in dir, printed after a failure
    std::unique_ptr<LoopbackServer> server;
    int fdsBefore = -1;
};

} // namespace testsupport
