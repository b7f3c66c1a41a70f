// System tests: the real dorvel binary against real files in a temporary
// directory, read through its standard output and exit status.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dorvel_harness.h"
#include "support/files.h"

using namespace dorvel_test;

namespace {

// Every test checks that it leaves no descriptor of its own behind.
class DorvelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fdsBefore_ = openDescriptors();
        ASSERT_FALSE(dir_.path().empty()) << "mkdtemp failed";
    }
    void TearDown() override { EXPECT_EQ(openDescriptors(), fdsBefore_) << "descriptor leak"; }

    std::string In(const std::string &name) const { return dir_.file(name); }
    Launch Watch(const std::string &name) const
    {
        Launch launch;
        launch.args = {In(name)};
        return launch;
    }
    // Runs to the end and returns the exit, for command-line cases.
    static Exit RunToEnd(Dorvel &run)
    {
        Exit exit = run.WaitExit();
        EXPECT_TRUE(run.ReadToEnd());
        return exit;
    }
    // Stops a running watcher with SIGTERM and checks that it ends with 0 and
    // wrote nothing more.
    static void StopCleanly(Dorvel &run, int signal = SIGTERM)
    {
        ASSERT_TRUE(run.Signal(signal));
        Exit exit = run.WaitExit();
        EXPECT_TRUE(exit.exited) << "signal " << exit.signal;
        EXPECT_EQ(exit.status, 0);
        EXPECT_TRUE(run.ReadToEnd());
        EXPECT_EQ(run.Pending().size(), 0u) << "output after the last expected record";
        EXPECT_EQ(run.Stderr(), "");
    }

    TempDir dir_;
    int fdsBefore_ = 0;
};

std::string Bytes(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    unsigned value = seed * 2654435761u + 1;
    for (char &c : data) {
        value = value * 1103515245u + 12345u;
        c = static_cast<char>(value >> 16);
    }
    return data;
}

std::string DirectoryOf(const std::vector<std::string> &open, const std::string &candidate)
{
    return std::find(open.begin(), open.end(), candidate) != open.end() ? candidate : std::string();
}

} // namespace

// ---- Command line ----

using CommandLine = DorvelTest;

// Every command-line outcome: the exit status, standard output and standard
// error, each case a row. A message is compared whole (as long as it is) or,
// where the option parser writes its own diagnostic first, by its tail.
TEST_F(CommandLine, EachCaseExitsWithItsStatusAndMessage)
{
    // A directory of about 4 kB (still openable: ENOENT), one of 100 kB
    // (ENAMETOOLONG, and longer than a pipe holds) and a long program name.
    const std::string component(200, 'd');
    std::string nearLimit = In("nodir");
    while (nearLimit.size() < 4000)
        nearLimit += "/" + component;
    std::string huge = In("nodir");
    while (huge.size() < 100000)
        huge += "/" + component;
    const std::string longName(5000, 'n');
    const std::string module = "/some/module/dir/dorvel.exe";
    const std::string usage = Usage("dorvel");
    const std::string invalid = "dorvel: Invalid option specified.\n\n" + usage;
    const std::string noFile = "dorvel: No file specified.\n\n" + usage;
    struct Case {
        std::string what;
        std::string argv0;
        std::vector<std::string> args;
        int status;
        std::string out, err;
        bool errTail; // the parser's diagnostic comes before err
    };
    const std::vector<Case> cases = {
        {"help ignores the rest", DORVEL_PATH, {"-h", "a", "b"}, 0, usage, "", false},
        {"--help", DORVEL_PATH, {"--help"}, 0, usage, "", false},
        {"a prefix of --help", DORVEL_PATH, {"--he"}, 0, usage, "", false},
        {"help after a file", DORVEL_PATH, {"missing/file", "-h"}, 0, usage, "", false},
        {"the name is argv[0]'s last component", module, {"-h"}, 0, Usage("dorvel.exe"), "", false},
        {"unknown short option", DORVEL_PATH, {"-x", In("f")}, 5, "", invalid, true},
        {"unknown long option", DORVEL_PATH, {In("f"), "--bogus"}, 5, "", invalid, true},
        {"-s without value", DORVEL_PATH, {"-s"}, 5, "", invalid, true},
        {"-l without value", DORVEL_PATH, {In("f"), "-l"}, 5, "", invalid, true},
        {"no file", DORVEL_PATH, {}, 6, "", noFile, false},
        {"options but no file", DORVEL_PATH, {"-s", "1", "-l", "2"}, 6, "", noFile, false},
        {"only --", DORVEL_PATH, {"--"}, 6, "", noFile, false},
        {"no file, named by argv[0]",
         module,
         {},
         6,
         "",
         "dorvel.exe: No file specified.\n\n" + Usage("dorvel.exe"),
         false},
        {"a long program name", longName, {}, 6, "", longName + ": No file specified.\n\n" + Usage(longName), false},
        // The directory does not exist: reaching the open would give status 8.
        {"a second file, before opening anything",
         DORVEL_PATH,
         {In("nodir/a"), "b"},
         7,
         "",
         "dorvel: To many  arguments specified.\n\n" + usage,
         false},
        {"a missing directory",
         DORVEL_PATH,
         {In("nodir/f")},
         8,
         "",
         "dorvel: open failed on " + In("nodir") + ": No such file or directory.\n\n",
         false},
        {"a missing directory of 4 kB",
         DORVEL_PATH,
         {nearLimit + "/f"},
         8,
         "",
         "dorvel: open failed on " + nearLimit + ": No such file or directory.\n\n",
         false},
        {"a name too long",
         DORVEL_PATH,
         {huge + "/f"},
         8,
         "",
         "dorvel: open failed on " + huge + ": File name too long.\n\n",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Launch launch;
        launch.argv0 = c.argv0;
        launch.args = c.args;
        Dorvel run(launch);
        ASSERT_TRUE(run.Started());
        Exit exit = RunToEnd(run);
        EXPECT_TRUE(exit.exited) << "signal " << exit.signal;
        EXPECT_EQ(exit.status, c.status);
        EXPECT_EQ(run.Pending(), c.out);
        const std::string &err = run.Stderr();
        if (!c.errTail) {
            EXPECT_EQ(err.size(), c.err.size());
            EXPECT_TRUE(err == c.err) << "message of " << err.size() << " bytes: " << err.substr(0, 300);
            continue;
        }
        ASSERT_GT(err.size(), c.err.size()) << "parser diagnostic missing: " << err;
        EXPECT_EQ(err.substr(err.size() - c.err.size()), c.err);
        EXPECT_NE(err.find("option"), std::string::npos) << err;
    }
}

TEST_F(CommandLine, DirectoryPartThatIsARegularFileExits10)
{
    ASSERT_TRUE(writeFile(In("plain"), "x"));
    Launch launch;
    launch.args = {In("plain/f")};
    Dorvel run(launch);
    Exit exit = RunToEnd(run);
    EXPECT_EQ(exit.status, 10);
    EXPECT_EQ(run.Stderr(), "dorvel: " + In("plain") + " is not a valid directory.\n\n");
}

TEST_F(CommandLine, SizeAndLevelOptionsAreIgnoredWhereverTheyStand)
{
    ASSERT_TRUE(writeFile(In("f"), "content"));
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-s", "100", "-l", "3", In("f")}, {In("f"), "-s", "100"}, {"-l5", In("f"), "-s7"}}) {
        Launch launch;
        launch.args = args;
        Dorvel run(launch);
        EXPECT_EQ(run.NextRecord(), "content");
        StopCleanly(run);
    }
}

TEST_F(CommandLine, DoubleDashEndsOptions)
{
    ASSERT_TRUE(writeFile(In("-x"), "dash"));
    Launch launch;
    launch.cwd = dir_.path();
    launch.args = {"--", "-x"};
    Dorvel run(launch);
    EXPECT_EQ(run.NextRecord(), "dash");
    StopCleanly(run);
}

// ---- Which directory is watched ----

using WatchedDirectory = DorvelTest;

TEST_F(WatchedDirectory, OneTrailingSlashIsRemoved)
{
    ASSERT_TRUE(writeFile(In("notes"), "n"));
    ASSERT_EQ(mkdir(In("logs").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(In("logs/app.txt"), "log"));
    struct Case {
        std::string arg, content, dir;
    };
    for (const Case &c : {Case{"notes/", "n", dir_.path()}, Case{"logs/app.txt/", "log", In("logs")}}) {
        Launch launch;
        launch.cwd = dir_.path();
        launch.args = {c.arg};
        Dorvel run(launch);
        EXPECT_EQ(run.NextRecord(), c.content) << c.arg;
        ASSERT_TRUE(run.WaitIdle());
        EXPECT_EQ(DirectoryOf(run.OpenFiles(), c.dir), c.dir) << c.arg;
        StopCleanly(run);
    }
}

TEST_F(WatchedDirectory, FileDirectlyUnderRootWatchesRoot)
{
    std::string name = "/dorvel-test-absent-" + std::to_string(getpid()) + "-" + std::to_string(rand());
    Launch launch;
    launch.cwd = dir_.path();
    launch.args = {name};
    Dorvel run(launch);
    ASSERT_TRUE(run.WaitIdle()) << run.Stderr();
    std::vector<std::string> open = run.OpenFiles();
    EXPECT_EQ(DirectoryOf(open, "/"), "/");
    EXPECT_EQ(DirectoryOf(open, dir_.path()), "");
    StopCleanly(run);
}

TEST_F(WatchedDirectory, EmptyArgumentOrLoneSlashWatchesCurrentDirectoryAndWritesNothing)
{
    ASSERT_TRUE(writeFile(In("other"), "o"));
    for (const char *arg : {"", "/"}) {
        Launch launch;
        launch.cwd = dir_.path();
        launch.args = {arg};
        Dorvel run(launch);
        ASSERT_TRUE(run.WaitIdle()) << run.Stderr();
        EXPECT_EQ(DirectoryOf(run.OpenFiles(), dir_.path()), dir_.path());
        ASSERT_TRUE(writeFile(In("other"), "changed"));
        ASSERT_TRUE(run.WaitIdle());
        StopCleanly(run);
    }
}

// ---- Change records ----

using Records = DorvelTest;

TEST_F(Records, FirstRecordHoldsTheWholeFileAndTheFileIsNotKeptOpen)
{
    std::string content = Bytes(200000, 1);
    content[10] = '\0';
    ASSERT_TRUE(writeFile(In("f"), content));
    Dorvel run(Watch("f"));
    std::optional<std::string> first = run.NextRecord();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), content.size());
    EXPECT_TRUE(*first == content);
    ASSERT_TRUE(run.WaitIdle());
    std::vector<std::string> open = run.OpenFiles();
    EXPECT_EQ(std::count(open.begin(), open.end(), In("f")), 0);
    EXPECT_EQ(std::count(open.begin(), open.end(), dir_.path()), 1);
    // Re-checks open and close the file; nothing accumulates.
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(writeFile(In("other"), std::to_string(i)));
    ASSERT_TRUE(run.WaitIdle());
    EXPECT_EQ(run.OpenFiles().size(), open.size());
    StopCleanly(run);
}

TEST_F(Records, OneByteChangedAtTheSameSizeWritesTheWholeNewContent)
{
    ASSERT_TRUE(writeFile(In("f"), "abcdef"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "abcdef");
    int fd = open(In("f").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "X", 1, 3), 1);
    close(fd);
    EXPECT_EQ(run.NextRecord(), "abcXef");
    StopCleanly(run);
}

TEST_F(Records, IdenticalRewriteWritesNothing)
{
    ASSERT_TRUE(writeFile(In("f"), "same bytes"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "same bytes");
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(writeFile(In("f"), "same bytes"));
        ASSERT_TRUE(run.WaitIdle());
    }
    ASSERT_TRUE(writeFile(In("f"), "next bytes"));
    EXPECT_EQ(run.NextRecord(), "next bytes");
    StopCleanly(run);
}

TEST_F(Records, ShrinkAndGrowPastTheCapacity)
{
    ASSERT_TRUE(writeFile(In("f"), "a longer first version"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "a longer first version");
    ASSERT_TRUE(writeFile(In("f"), "short"));
    EXPECT_EQ(run.NextRecord(), "short");
    ASSERT_TRUE(writeFile(In("f"), "a longer first versioN"));
    EXPECT_EQ(run.NextRecord(), "a longer first versioN");
    std::string big = Bytes(3 << 20, 7);
    ASSERT_TRUE(writeFile(In("f"), big));
    std::optional<std::string> grown = run.NextRecord();
    // A write in progress may be seen first; the final version must follow.
    while (grown && grown->size() < big.size() && big.compare(0, grown->size(), *grown) == 0)
        grown = run.NextRecord();
    ASSERT_TRUE(grown.has_value());
    EXPECT_TRUE(*grown == big);
    ASSERT_TRUE(writeFile(In("f"), "short"));
    EXPECT_EQ(run.NextRecord(), "short");
    StopCleanly(run);
}

TEST_F(Records, LargeVersionsPutInPlaceByRenameArriveByteForByte)
{
    // Big enough for the buffers' huge-page hint. One byte changes at the
    // start, the middle and the end, then the file grows past both buffers
    // and shrinks back: every record is the whole version.
    std::string content = Bytes(6 << 20, 9);
    ASSERT_TRUE(writeFile(In("f"), content));
    Dorvel run(Watch("f"));
    std::optional<std::string> record = run.NextRecord();
    ASSERT_TRUE(record && *record == content);
    const size_t mib = 1 << 20;
    struct Step {
        size_t size, at; // the version's size, the byte changed in it
    };
    for (const Step &step : {Step{6 * mib, 0}, Step{6 * mib, 3 * mib}, Step{6 * mib, 6 * mib - 1},
                             Step{9 * mib, 7 * mib}, Step{6 * mib, 5 * mib}}) {
        const size_t kept = std::min(content.size(), step.size);
        content = content.substr(0, kept) + Bytes(step.size - kept, 10);
        content[step.at] = static_cast<char>(content[step.at] ^ 0x5a);
        ASSERT_TRUE(testsupport::replaceFile(In("f"), content));
        record = run.NextRecord();
        ASSERT_TRUE(record.has_value()) << "change at " << step.at;
        EXPECT_TRUE(*record == content) << "change at " << step.at << ": " << record->size() << " bytes";
    }
    StopCleanly(run);
}

TEST_F(Records, DeleteWritesNothingAndRecreationIsComparedWithTheLastVersion)
{
    ASSERT_TRUE(writeFile(In("f"), "original"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "original");
    ASSERT_EQ(unlink(In("f").c_str()), 0);
    ASSERT_TRUE(writeFile(In("other"), "wake up")); // a re-check while it is missing
    ASSERT_TRUE(run.WaitIdle());
    ASSERT_TRUE(writeFile(In("f"), "original")); // same bytes again: nothing
    ASSERT_TRUE(run.WaitIdle());
    ASSERT_EQ(unlink(In("f").c_str()), 0);
    ASSERT_TRUE(writeFile(In("f"), "different"));
    EXPECT_EQ(run.NextRecord(), "different");
    StopCleanly(run);
}

TEST_F(Records, AnotherFileInTheDirectoryWritesNothing)
{
    ASSERT_TRUE(writeFile(In("f"), "watched"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "watched");
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(writeFile(In("other"), "other " + std::to_string(i)));
    ASSERT_TRUE(run.WaitIdle());
    ASSERT_TRUE(writeFile(In("f"), "watched 2"));
    EXPECT_EQ(run.NextRecord(), "watched 2");
    StopCleanly(run);
}

TEST_F(Records, MissingAtStartThenCreated)
{
    Dorvel run(Watch("f"));
    ASSERT_TRUE(run.WaitIdle()) << run.Stderr();
    EXPECT_EQ(run.Pending(), "");
    ASSERT_TRUE(writeFile(In("f"), "appeared"));
    EXPECT_EQ(run.NextRecord(), "appeared");
    StopCleanly(run);
}

TEST_F(Records, FirstOneByteVersionIsAlwaysWritten)
{
    // A zero byte is what a fresh one-byte placeholder most likely holds.
    for (const std::string &one : {std::string(1, '\0'), std::string("x")}) {
        unlink(In("f").c_str());
        Dorvel run(Watch("f"));
        ASSERT_TRUE(run.WaitIdle()) << run.Stderr();
        ASSERT_TRUE(writeFile(In("f"), one));
        EXPECT_EQ(run.NextRecord(), one);
        StopCleanly(run);
    }
}

TEST_F(Records, EmptyFileIsWaitedForAsleepAndTerminationIsHonoured)
{
    ASSERT_TRUE(writeFile(In("f"), ""));
    {
        Dorvel run(Watch("f"));
        // Asleep in the notification wait: not spinning on the empty file.
        ASSERT_TRUE(run.WaitIdle()) << run.Stderr();
        ASSERT_TRUE(writeFile(In("f"), "filled"));
        EXPECT_EQ(run.NextRecord(), "filled");
        ASSERT_TRUE(writeFile(In("f"), "")); // emptied: nothing
        ASSERT_TRUE(run.WaitIdle());
        ASSERT_TRUE(writeFile(In("f"), "filled")); // same as the last version
        ASSERT_TRUE(run.WaitIdle());
        ASSERT_TRUE(writeFile(In("f"), "refilled"));
        EXPECT_EQ(run.NextRecord(), "refilled");
        StopCleanly(run);
    }
    ASSERT_TRUE(writeFile(In("f"), ""));
    Dorvel waiting(Watch("f"));
    ASSERT_TRUE(waiting.WaitIdle());
    StopCleanly(waiting);
}

TEST_F(Records, BurstOfWritesEndsWithTheLatestContent)
{
    ASSERT_TRUE(writeFile(In("f"), "version 0000"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "version 0000");
    int fd = open(In("f").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const int writes = 2000;
    for (int i = 1; i <= writes; ++i) {
        char text[16];
        snprintf(text, sizeof text, "version %04d", i);
        ASSERT_EQ(pwrite(fd, text, 12, 0), 12);
    }
    close(fd);
    // Each record is one whole 12-byte version; the last one is the latest.
    int records = 0;
    std::string last;
    while (last != "version 2000") {
        std::optional<std::string> record = run.NextRecord();
        ASSERT_TRUE(record.has_value()) << "after " << records << " records";
        ASSERT_EQ(record->size(), 12u);
        EXPECT_EQ(record->compare(0, 8, "version "), 0) << *record;
        last = *record;
        ++records;
    }
    EXPECT_LE(records, writes);
    ASSERT_TRUE(run.WaitIdle());
    StopCleanly(run);
}

TEST_F(Records, FileShrinkingWhileReadNeverTearsTheStream)
{
    // Grow and shrink the file while the watcher reads it. Every record must
    // carry exactly as many bytes as its Length says, so the stream stays in
    // step up to the final version.
    const std::string big(4 << 20, 'a');
    ASSERT_TRUE(writeFile(In("f"), "start"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "start");
    int fd = open(In("f").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(pwrite(fd, big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
        // Vary the moment of the cut so that some fall inside a read.
        volatile int spin = 0;
        for (int k = 0; k < (i % 25) * 40000; ++k)
            spin = spin + 1;
        ASSERT_EQ(ftruncate(fd, 7), 0);
    }
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(pwrite(fd, "the end", 7, 0), 7);
    close(fd);
    for (;;) {
        std::optional<std::string> record = run.NextRecord();
        ASSERT_TRUE(record.has_value()) << "stream out of step or ended";
        if (*record == "the end")
            break;
        ASSERT_LE(record->size(), big.size());
        EXPECT_EQ(record->find_first_not_of('a'), std::string::npos);
    }
    StopCleanly(run);
}

TEST_F(Records, FileLongerByItsSizeThanItsContentIsWrittenWithTheCountRead)
{
    // Files in /sys report a size of a page whatever they hold.
    const std::string sysFile = "/sys/devices/system/cpu/online";
    struct stat st;
    int fd = open(sysFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) < 0) {
        if (fd >= 0)
            close(fd);
        GTEST_SKIP() << sysFile << " is not available";
    }
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n <= 0 || st.st_size <= n)
        GTEST_SKIP() << sysFile << " reports its true size";
    Launch launch;
    launch.args = {sysFile};
    Dorvel run(launch);
    EXPECT_EQ(run.NextRecord(), std::string(buffer, static_cast<size_t>(n)));
    ASSERT_TRUE(run.WaitIdle());
    StopCleanly(run);
}

TEST_F(Records, QueueOverflowFallsBackToSigioWithoutEndingTheWatcher)
{
    // With no real-time signal allowed to queue, every notification arrives
    // as SIGIO, whose default action would end the process.
    ASSERT_TRUE(writeFile(In("f"), "start"));
    Launch launch = Watch("f");
    launch.noQueuedSignals = true;
    Dorvel run(launch);
    ASSERT_EQ(run.NextRecord(), "start");
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(writeFile(In("f"), "burst " + std::to_string(i)));
    std::optional<std::string> record;
    do
        record = run.NextRecord();
    while (record && *record != "burst 49");
    EXPECT_EQ(record, "burst 49") << run.Stderr();
    StopCleanly(run);
}

// ---- Versions put in place by renaming ----

using Renames = DorvelTest;

TEST_F(Renames, EditorStyleSaveOverTheWatchedFileWritesARecord)
{
    ASSERT_TRUE(writeFile(In("f"), "before save"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "before save");
    ASSERT_TRUE(writeFile(In(".f.swp"), "after save"));
    // Every re-check caused by writing the temporary file is over.
    ASSERT_TRUE(run.WaitIdle());
    ASSERT_EQ(rename(In(".f.swp").c_str(), In("f").c_str()), 0);
    EXPECT_EQ(run.NextRecord(), "after save");
    StopCleanly(run);
}

TEST_F(Renames, FileMovedInFromAnotherDirectoryWritesARecord)
{
    TempDir elsewhere;
    ASSERT_TRUE(writeFile(In("f"), "old"));
    ASSERT_TRUE(writeFile(elsewhere.file("new"), "moved in"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "old");
    ASSERT_TRUE(run.WaitIdle());
    ASSERT_EQ(rename((elsewhere.file("new")).c_str(), In("f").c_str()), 0);
    EXPECT_EQ(run.NextRecord(), "moved in");
    StopCleanly(run);
}

// ---- Failures while watching ----

using Failures = DorvelTest;

TEST_F(Failures, ReplacementByADirectoryExits12)
{
    ASSERT_TRUE(writeFile(In("f"), "file"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "file");
    ASSERT_EQ(unlink(In("f").c_str()), 0);
    ASSERT_EQ(mkdir(In("f").c_str(), 0755), 0);
    Exit exit = run.WaitExit();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 12);
    EXPECT_EQ(run.Stderr(), "dorvel:  " + In("f") + " is not a regular file.\n\n");
    EXPECT_EQ(run.Pending(), "");
}

TEST_F(Failures, NonRegularFileAtStartExits12)
{
    ASSERT_EQ(mkfifo(In("fifo").c_str(), 0644), 0);
    Dorvel run(Watch("fifo"));
    Exit exit = run.WaitExit();
    EXPECT_EQ(exit.status, 12);
    EXPECT_EQ(run.Stderr(), "dorvel:  " + In("fifo") + " is not a regular file.\n\n");
}

TEST_F(Failures, LossOfReadPermissionExits11)
{
    // Root reads anything, so the watcher runs as nobody then.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(In("f"), "readable"));
    Launch launch = Watch("f");
    launch.asNobody = true;
    Dorvel run(launch);
    ASSERT_EQ(run.NextRecord(), "readable") << run.Stderr();
    ASSERT_EQ(chmod(In("f").c_str(), 0), 0);
    ASSERT_TRUE(writeFile(In("other"), "trigger"));
    Exit exit = run.WaitExit();
    EXPECT_EQ(exit.status, 11);
    EXPECT_EQ(run.Stderr(), "dorvel: open failed on " + In("f") + ".  Permission denied.\n\n");
    EXPECT_EQ(run.Pending(), "");
}

TEST_F(Failures, FilesOf2GiBOrMoreAreRefused)
{
    const off_t tooLarge = off_t(1) << 31;
    const std::string message =
        "dorvel: " + In("f") + " is too large.  2147483648 bytes, at most 2147483647 are supported.\n\n";
    {
        ASSERT_TRUE(writeFile(In("f"), ""));
        ASSERT_EQ(truncate(In("f").c_str(), tooLarge), 0);
        Dorvel run(Watch("f"));
        Exit exit = run.WaitExit();
        EXPECT_EQ(exit.status, 16);
        EXPECT_EQ(run.Stderr(), message);
        EXPECT_EQ(run.Pending(), "");
    }
    ASSERT_TRUE(writeFile(In("f"), "small"));
    Dorvel run(Watch("f"));
    ASSERT_EQ(run.NextRecord(), "small");
    ASSERT_EQ(truncate(In("f").c_str(), tooLarge), 0);
    Exit exit = run.WaitExit();
    EXPECT_EQ(exit.status, 16);
    EXPECT_EQ(run.Stderr(), message);
    EXPECT_EQ(run.Pending(), "");
}

TEST_F(Failures, BrokenPipeWithSigpipeIgnoredExits14)
{
    ASSERT_TRUE(writeFile(In("f"), "nobody reads this"));
    Launch launch = Watch("f");
    launch.ignoreSigpipe = true;
    launch.closeStdoutReader = true;
    Dorvel run(launch);
    Exit exit = run.WaitExit();
    EXPECT_EQ(exit.status, 14);
    EXPECT_EQ(run.Stderr(), "dorvel: write failed on stdout.  Broken pipe.\n\n");
}

// ---- Stopping ----

using Stopping = DorvelTest;

TEST_F(Stopping, EachTerminationSignalWhileWaitingExits0)
{
    ASSERT_TRUE(writeFile(In("f"), "content"));
    for (int signal : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) {
        Dorvel run(Watch("f"));
        ASSERT_EQ(run.NextRecord(), "content");
        ASSERT_TRUE(run.WaitIdle());
        StopCleanly(run, signal);
    }
}

// Standard output is never read here: the watcher must end on a termination
// request without waiting for room, whatever standard output is and whenever
// the request comes. What it wrote is a true prefix of the record.
struct StopCase {
    const char *name;
    bool terminal;    // else a pipe
    bool asNobody;    // dorvel cannot open the pipe again through /proc
    bool raiseBefore; // SIGTERM raised inside dorvel just before its write
};

void PrintTo(const StopCase &c, std::ostream *out) { *out << c.name; }

class StopWhileFull : public DorvelTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopWhileFull, Exits0WithoutWaitingForRoom)
{
    const StopCase &c = GetParam();
    if (c.asNobody && getuid() != 0)
        GTEST_SKIP() << "needs root to drop to nobody";
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    std::string big = Bytes(4 << 20, 3);
    ASSERT_TRUE(writeFile(In("f"), big));
    Launch launch = Watch("f");
    launch.stdoutTerminal = c.terminal;
    launch.asNobody = c.asNobody;
    if (c.raiseBefore)
        launch.preload = RAISE_BEFORE_WRITE;
    Dorvel run(launch);
    ASSERT_TRUE(run.Started());
    if (!c.raiseBefore) {
        // Nothing is read until the watcher sleeps on the full output.
        ASSERT_TRUE(run.WaitBlockedWriting()) << run.Stderr();
        ASSERT_TRUE(run.Signal(SIGTERM));
    }
    Exit exit = run.WaitExit(kWaitMs, false);
    EXPECT_TRUE(exit.exited) << "signal " << exit.signal;
    EXPECT_EQ(exit.status, 0);
    ASSERT_TRUE(run.ReadToEnd());
    int32_t length = static_cast<int32_t>(big.size());
    const std::string record = std::string(reinterpret_cast<const char *>(&length), 4) + big;
    EXPECT_LT(run.Pending().size(), record.size());
    EXPECT_TRUE(record.compare(0, run.Pending().size(), run.Pending()) == 0) << "not a prefix of the record";
    EXPECT_EQ(run.Stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Stopping, StopWhileFull,
                         ::testing::Values(StopCase{"Pipe", false, false, false},
                                           StopCase{"PipeNotReopenable", false, true, false},
                                           StopCase{"Terminal", true, false, false},
                                           StopCase{"PipeSignalJustBeforeWrite", false, false, true},
                                           StopCase{"TerminalSignalJustBeforeWrite", true, false, true}),
                         [](const ::testing::TestParamInfo<StopCase> &info) { return info.param.name; });

TEST_F(Stopping, SigtermWhileAMessageWaitsOnAFullStderrExitsWithItsStatus)
{
    // Standard error is a full pipe that nobody reads, as under a parent
    // that does not drain it: the message about the missing directory
    // cannot be written, and SIGTERM must end the wait.
    Launch launch;
    launch.args = {In("nodir/f")};
    launch.fullStderr = true;
    Dorvel run(launch);
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(run.WaitBlockedWriting(STDERR_FILENO));
    ASSERT_TRUE(run.Signal(SIGTERM));
    Exit exit = run.WaitExit(kWaitMs, false);
    EXPECT_TRUE(exit.exited) << "signal " << exit.signal;
    EXPECT_EQ(exit.status, 8);
    ASSERT_TRUE(run.ReadToEnd());
    // Nothing of the message went out after what filled the pipe.
    ASSERT_GE(run.Stderr().size(), run.StderrFiller().size());
    EXPECT_EQ(run.Stderr().substr(run.StderrFiller().size()), "");
}

TEST_F(Stopping, NonBlockingStdoutIsWaitedOnNotAFailure)
{
    std::string big = Bytes(1 << 20, 5);
    ASSERT_TRUE(writeFile(In("f"), big));
    Launch launch = Watch("f");
    launch.nonBlockingStdout = true;
    Dorvel run(launch);
    // The pipe fills up before anything is read: a write that fails with
    // EAGAIN must lead to a wait, not an exit.
    ASSERT_TRUE(run.WaitBlockedWriting()) << run.Stderr();
    std::optional<std::string> record = run.NextRecord();
    ASSERT_TRUE(record.has_value()) << run.Stderr();
    EXPECT_TRUE(*record == big);
    ASSERT_TRUE(writeFile(In("f"), "small"));
    EXPECT_EQ(run.NextRecord(), "small");
    StopCleanly(run);
}

TEST_F(Stopping, RecordsToARegularFileStdout)
{
    ASSERT_TRUE(writeFile(In("f"), "one"));
    Launch launch = Watch("f");
    launch.stdoutFile = In("out");
    Dorvel run(launch);
    const std::string expected = std::string("\x03\0\0\0one", 7) + std::string("\x03\0\0\0two", 7);
    std::string seen;
    ASSERT_TRUE(run.WaitIdle());
    ASSERT_TRUE(writeFile(In("f"), "two"));
    ASSERT_TRUE(run.WaitIdle());
    StopCleanly(run);
    FILE *out = fopen(In("out").c_str(), "rb");
    ASSERT_NE(out, nullptr);
    char buffer[64];
    size_t n = fread(buffer, 1, sizeof buffer, out);
    fclose(out);
    seen.assign(buffer, n);
    EXPECT_EQ(seen, expected);
}
