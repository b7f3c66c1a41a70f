// Clients of the image plug-in: admission by viewer state, the key
// handshake, the one-time key and what happens when clients leave.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ov_test.h"

using namespace ovtest;

class OvClients : public OvTest {};

TEST_F(OvClients, AcceptedWhileStartingAndWhenReady)
{
    init();
    ClientRecord *a = newClient();
    connect(a);
    EXPECT_EQ(out(a), be32(0));
    EXPECT_EQ(closeCount(a), 0);
    viewer();
    ClientRecord *b = newClient();
    connect(b);
    EXPECT_EQ(out(b), be32(0));
    EXPECT_EQ(liveAllocations(), 2u);
    deliverClose(a);
    EXPECT_EQ(logged(LOG_DEBUG, "Removing ov client."), 1);
    deliverClose(b);
    EXPECT_EQ(liveAllocations(), 0u);
    dispose();
}

TEST_F(OvClients, NoMemoryForNode)
{
    init();
    ClientRecord *c = newClient();
    fail(Op::Malloc);
    connect(c);
    EXPECT_EQ(out(c), be32(19));
    EXPECT_EQ(logged(LOG_ERROR, "malloc failed on ovClient."), 1);
    EXPECT_EQ(closeCount(c), 1);
    data(c, be32(0));
    EXPECT_EQ(closeCount(c), 2) << "data for a record without node closes it";
    EXPECT_EQ(out(c), be32(19));
    dispose();
}

TEST_F(OvClients, ConnectAnswerWriteFailureKeepsNodeUntilClose)
{
    init();
    ClientRecord *c = newClient();
    fail(Op::BufferWrite, 0, 1, c->OutBuffer);
    connect(c);
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->Client->OutBuffer."), 1);
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(liveAllocations(), 1u);
    deliverClose(c);
    EXPECT_EQ(liveAllocations(), 0u);
    dispose();
}

TEST_F(OvClients, KeyHandshakeTable)
{
    init();
    viewer();
    // Before a key exists a non-zero word is refused with 27; no key is issued.
    ClientRecord *early = newClient();
    connect(early);
    data(early, be32(12345));
    EXPECT_EQ(out(early), be32(0) + be32(27));
    EXPECT_EQ(closeCount(early), 1);

    // Three bytes of a key are not enough.
    ClientRecord *holder = newClient();
    connect(holder);
    takeOut(holder);
    data(holder, std::string(3, '\0'));
    EXPECT_EQ(out(holder), "");
    data(holder, std::string(1, '\0'));
    std::string answer = out(holder);
    ASSERT_EQ(answer.size(), 8u);
    EXPECT_EQ(be32At(answer), 0u);
    uint32_t issued = be32At(answer, 4);
    EXPECT_GE(issued, 1u);
    EXPECT_LE(issued, 2147483647u);
    EXPECT_EQ(closeCount(holder), 0);

    ClientRecord *good = newClient();
    connect(good);
    takeOut(good);
    data(good, be32(issued));
    EXPECT_EQ(out(good), be32(0));
    EXPECT_EQ(closeCount(good), 0);

    for (uint32_t word : {0u, issued ^ 1u, 0xFFFFFFFFu}) {
        ClientRecord *bad = newClient();
        connect(bad);
        takeOut(bad);
        data(bad, be32(word));
        EXPECT_EQ(out(bad), be32(26)) << word;
        EXPECT_EQ(closeCount(bad), 1);
        // Its Key went back to -1: the next word is taken as a key again.
        data(bad, be32(word));
        EXPECT_EQ(out(bad), be32(26) + be32(26));
    }
    dispose();
}

TEST_F(OvClients, FailedWritesInHandshakeCloseTheClient)
{
    init();
    ClientRecord *holder = newClient();
    connect(holder);
    takeOut(holder);
    fail(Op::BufferWrite, 0, 1, holder->OutBuffer);
    data(holder, be32(0));
    EXPECT_EQ(out(holder).size(), 4u) << "the key is still written after a failed code";
    EXPECT_EQ(closeCount(holder), 1);
    EXPECT_EQ(logged(LOG_ERROR, "write failed on client->Client->OutBuffer."), 1);

    ClientRecord *bad = newClient();
    connect(bad);
    takeOut(bad);
    fail(Op::BufferWrite, 0, 1, bad->OutBuffer);
    data(bad, be32(0));
    EXPECT_EQ(out(bad), "");
    EXPECT_EQ(closeCount(bad), 2) << "closed for the failed write and for the mismatch";
    dispose();
}

// The random word read from the source and the key it gives.
class OvKeyArithmetic : public OvTest, public ::testing::WithParamInterface<std::pair<uint32_t, uint32_t>> {};

TEST_P(OvKeyArithmetic, WordModuloPrimePlusOne)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    redirectOpen("/dev/urandom", fds[0]);
    uint32_t word = GetParam().first;
    ASSERT_EQ(write(fds[1], &word, 4), 4);
    init();
    ClientRecord *c = newClient();
    connect(c);
    data(c, be32(0));
    EXPECT_EQ(out(c), be32(0) + be32(0) + be32(GetParam().second));
    close(fds[0]);
    close(fds[1]);
    dispose();
}

INSTANTIATE_TEST_SUITE_P(Words, OvKeyArithmetic,
                         ::testing::Values(std::make_pair(0u, 1u), std::make_pair(2147483647u, 1u),
                                           std::make_pair(4294967295u, 2u), std::make_pair(2147483646u, 2147483647u),
                                           std::make_pair(2147483648u, 2u), std::make_pair(41u, 42u)));

TEST_F(OvClients, RandomWordInPiecesAsksForMissingBytes)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    redirectOpen("/dev/urandom", fds[0]);
    uint32_t word = 0x01020304;
    const char *p = reinterpret_cast<const char *>(&word);
    ASSERT_EQ(write(fds[1], p, 1), 1);
    ASSERT_EQ(write(fds[1], p + 1, 3), 3);
    failRead(-1, EINTR, 1, 1);
    init();
    ClientRecord *c = newClient();
    connect(c);
    data(c, be32(0));
    EXPECT_EQ(be32At(out(c), 8), 0x01020304u % 2147483647u + 1);
    ASSERT_EQ(reads().size(), 3u);
    EXPECT_EQ(reads()[0].count, 4u);
    EXPECT_EQ(reads()[0].result, 1);
    EXPECT_EQ(reads()[1].result, -1) << "EINTR is retried";
    EXPECT_EQ(reads()[2].count, 3u);
    close(fds[0]);
    close(fds[1]);
    dispose();
}

TEST_F(OvClients, FailingRandomSourceIsClosedAndRandStandsIn)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    redirectOpen("/dev/urandom", fds[0]);
    uint32_t word = 7;
    ASSERT_EQ(write(fds[1], &word, 4), 4);
    init();
    failRead(-1, EIO);
    ClientRecord *c = newClient();
    connect(c);
    int before = openDescriptors();
    data(c, be32(0));
    EXPECT_EQ(openDescriptors(), before - 1) << "the failed source is closed";
    ASSERT_EQ(out(c).size(), 12u);
    uint32_t k = be32At(out(c), 8);
    EXPECT_GE(k, 1u);
    EXPECT_LE(k, 2147483647u);
    EXPECT_EQ(reads().size(), 1u) << "a failed source is not read again";
    // The word is still in the pipe.
    uint32_t left = 0;
    EXPECT_EQ(read(fds[0], &left, 4), 4);
    EXPECT_EQ(left, 7u);
    close(fds[0]);
    close(fds[1]);
    dispose();
}

TEST_F(OvClients, EndOfFileOnRandomSourceIsBounded)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    redirectOpen("/dev/urandom", fds[0]);
    close(fds[1]);
    init();
    ClientRecord *c = newClient();
    connect(c);
    data(c, be32(0));
    ASSERT_EQ(out(c).size(), 12u);
    EXPECT_GE(be32At(out(c), 8), 1u);
    EXPECT_EQ(reads().size(), 16u);
    close(fds[0]);
    dispose();
}

TEST_F(OvClients, UnopenableRandomSourceUsesRand)
{
    failOpen("/dev/urandom", EACCES);
    init();
    ClientRecord *c = newClient();
    connect(c);
    data(c, be32(0));
    ASSERT_EQ(out(c).size(), 12u);
    EXPECT_GE(be32At(out(c), 8), 1u);
    EXPECT_TRUE(reads().empty());
    dispose();
}

TEST_F(OvClients, KeyHolderLeavingClosesTheOthersAndKeyStays)
{
    init();
    viewer();
    ClientRecord *holder = admitted();
    ClientRecord *a = admitted();
    ClientRecord *b = admitted();
    deliverClose(a); // a non-holder closes nobody
    EXPECT_EQ(closeCount(holder), 0);
    EXPECT_EQ(closeCount(b), 0);
    ClientRecord *c = admitted();
    deliverClose(holder);
    EXPECT_EQ(closeCount(b), 1);
    EXPECT_EQ(closeCount(c), 1);
    EXPECT_EQ(closeCount(holder), 0);
    deliverClose(b);
    deliverClose(c);
    EXPECT_EQ(liveAllocations(), 0u);
    ClientRecord *later = admitted(); // presents the old key
    EXPECT_EQ(closeCount(later), 0);
    ClientRecord *zero = newClient();
    connect(zero);
    data(zero, be32(0));
    EXPECT_EQ(out(zero), be32(0) + be32(26)) << "no second key";
    dispose();
}

TEST_F(OvClients, LeavingWithThreeJobsKeepsOnlyTheHead)
{
    init();
    Child &v = viewer();
    ClientRecord *c = admitted();
    data(c, fillRequest(1) + fillRequest(2) + showRequest(4, 4, 0, 0, pattern(48)));
    EXPECT_EQ(v.readIn(), frame(-1, 1, 0, 0));
    std::size_t withJobs = liveAllocations();
    deliverClose(c);
    EXPECT_EQ(liveAllocations(), withJobs - 1 - 4) << "node and two jobs with their images freed";
    // The head is answered by nobody; the next job is the next client's.
    ClientRecord *d = admitted();
    data(d, queryRequest(1, 0));
    EXPECT_EQ(v.readIn(), "");
    result(v, 5);
    EXPECT_EQ(out(d), "");
    EXPECT_EQ(logged(LOG_DEBUG, "Job finished."), 0);
    EXPECT_EQ(v.readIn(), frame(-2, 1, 0, 0));
    result(v, 1920);
    EXPECT_EQ(out(d), be32(1920));
    deliverClose(d);
    EXPECT_EQ(liveAllocations(), 0u);
    dispose();
}

TEST_F(OvClients, KeyAndRequestInOneBurst)
{
    init();
    Child &v = viewer();
    admitted();
    ClientRecord *c = newClient();
    connect(c);
    takeOut(c);
    data(c, be32(key) + fillRequest(9));
    EXPECT_EQ(out(c), be32(0));
    EXPECT_EQ(in(c), fillRequest(9));
    EXPECT_EQ(v.readIn(), "");
    data(c, "");
    EXPECT_EQ(in(c), "");
    EXPECT_EQ(v.readIn(), frame(-1, 9, 0, 0));
    dispose();
}
