// dvlfollow: follows a file on the server and hands on every version of it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "clientlib/clientlib.h"

namespace cl = clientlib;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultAddress = "127.0.0.1:7412";

constexpr const char* kExitStatuses = R"(Exit statuses:
  0   --count versions received
  1   unexpected internal error
  2   bad command line
  3   bad address
  4   connection refused (no server listens there)
  5   could not connect otherwise (no such host or socket, unreachable, timed out)
  6   closed by the server without a reply code, or in the middle of a version
  7   bad reply (the server broke the protocol)
  8   the server did not answer within --timeout
  9   I/O error on the connection
  10  local output failed (standard output or --output FILE)
  12  the --exec command could not be started
  18  reply code 18: the server has no memory or buffer space for this client
  23  reply code 23: reading the watcher's output failed on the server
  25  reply code 25: the watcher on the server ended)";

[[noreturn]] void LocalFailure(const std::string& what) {
    throw cl::ClientError(cl::ErrorKind::Local, what);
}

void WriteFd(int fd, const char* p, size_t n, const std::string& what) {
    while (n > 0) {
        ssize_t r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) LocalFailure("cannot write " + what + ": " + std::strerror(errno));
        p += r;
        n -= static_cast<size_t>(r);
    }
}

// Replaces FILE atomically: the version goes to a temporary file in the same
// folder, which is then renamed over FILE, so readers never see a torn file.
void ReplaceFile(const fs::path& file, const std::string& content) {
    fs::path dir = file.parent_path();
    if (dir.empty()) dir = ".";
    std::string tmpl = (dir / ("." + file.filename().string() + ".dvlfollow.XXXXXX")).string();
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) LocalFailure("cannot create a temporary file beside " + file.string() + ": " + std::strerror(errno));
    // Keep the mode of the file replaced; a new file gets the usual 0666 less umask.
    struct stat st{};
    mode_t mode;
    if (::stat(file.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    try {
        WriteFd(fd, content.data(), content.size(), tmpl);
        if (::fchmod(fd, mode) != 0) LocalFailure("cannot set the mode of " + tmpl + ": " + std::strerror(errno));
    } catch (...) {
        ::close(fd);
        ::unlink(tmpl.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        LocalFailure("cannot write " + tmpl + ": " + std::strerror(err));
    }
    if (::rename(tmpl.c_str(), file.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        LocalFailure("cannot rename " + tmpl + " to " + file.string() + ": " + std::strerror(err));
    }
}

// Runs CMD through /bin/sh -c with the version on its standard input and
// waits for it. Returns its exit status as the shell reports it.
int RunCommand(const std::string& cmd, const std::string& content, uint64_t number,
               const std::string& path) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        throw cl::ClientError(cl::ErrorKind::Local, std::string("pipe failed: ") + std::strerror(errno));
    std::string number_text = std::to_string(number);
    pid_t pid = ::fork();
    if (pid < 0) {
        int err = errno;
        ::close(p[0]);
        ::close(p[1]);
        throw cl::ClientError(cl::ErrorKind::Local, std::string("fork failed: ") + std::strerror(err));
    }
    if (pid == 0) {
        ::dup2(p[0], STDIN_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
        ::setenv("DVLFOLLOW_VERSION", number_text.c_str(), 1);
        ::setenv("DVLFOLLOW_PATH", path.c_str(), 1);
        ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(p[0]);
    // A command that does not read all of its input is no failure of ours.
    const char* at = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t r = ::write(p[1], at, left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;  // EPIPE: the command closed its input
        at += r;
        left -= static_cast<size_t>(r);
    }
    ::close(p[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Turns "\n", "\t", "\0" and "\\" into the bytes they stand for.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (c == '0') out += '\0';
        else if (c == '\\') out += '\\';
        else {
            out += '\\';
            out += c;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Follows a file on the server: prints every version of PATH as the server sees it change.\n"
        "The server answers each version whole; by default each is written to standard output\n"
        "as it arrives."};
    app.footer(std::string("\nReply codes from the server are reported on standard error in words.\n"
                           "With --reconnect, failures to connect, a dropped connection, timeouts and\n"
                           "codes 18 and 23 (25 once a version arrived) are retried, not reported by\n"
                           "the exit status; a version equal to the last one is not handed on again.\n") +
               kExitStatuses);
    app.set_version_flag("--version", "dvlfollow " PLUGHOST_VERSION);
    std::string connect = kDefaultAddress;
    std::string path, output, exec_cmd, separator;
    uint64_t count = 0;
    double timeout_s = 10;
    bool reconnect = false;
    app.add_option("PATH", path, "File to follow, as the server names it")->required();
    app.add_option("-c,--connect", connect,
                   "Server address: host:port, [v6]:port or unix:/path")
        ->type_name("ADDR")
        ->capture_default_str();
    app.add_option("-o,--output", output,
                   "Keep FILE a copy of the newest version, replaced atomically (temporary file "
                   "in the same folder, then rename)")
        ->type_name("FILE");
    app.add_option("-e,--exec", exec_cmd,
                   "Run CMD with /bin/sh -c after each version, the version on its standard input; "
                   "DVLFOLLOW_VERSION (1, 2, ...) and DVLFOLLOW_PATH are set for it")
        ->type_name("CMD");
    app.add_option("-n,--count", count, "Stop after N versions (0: follow until the server ends)")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("-s,--separator", separator,
                   "Text written to standard output after each version (\\n, \\t, \\0, \\\\ understood)")
        ->type_name("TEXT");
    app.add_option("-t,--timeout", timeout_s,
                   "Seconds to wait for the connection and for the watcher to start")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_flag("-r,--reconnect", reconnect,
                 "Reconnect with back-off (0.1 s doubling up to 5 s) when the connection drops or "
                 "the server restarts, and go on with the file's current version");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : cl::exit_status::kUsage;
    }

    ::signal(SIGPIPE, SIG_IGN);
    const bool print = output.empty() && exec_cmd.empty();
    const std::string sep = Unescape(separator);
    auto timeout = std::chrono::milliseconds(static_cast<int64_t>(timeout_s * 1000));

    try {
        cl::Address address = cl::ParseAddress(connect);
        std::optional<cl::FollowSession> session;
        std::optional<cl::ReconnectingFollow> follower;
        if (reconnect) {
            follower.emplace(address, path, timeout, cl::Backoff{},
                             [&](const std::string& reason, std::chrono::milliseconds delay) {
                                 std::cerr << "dvlfollow: " << path << ": " << reason
                                           << "; reconnecting in " << delay.count() / 1000.0 << " s\n";
                             });
        } else {
            session.emplace(cl::FollowSession::Connect(address, timeout));
            session->Start(path, cl::Deadline::After(timeout));
        }
        uint64_t versions = 0;
        while (count == 0 || versions < count) {
            cl::FollowEvent ev = follower ? follower->Next() : session->Next();
            if (ev.kind == cl::FollowEvent::Kind::Closed) {
                std::cerr << "dvlfollow: the server closed the connection without a reply code\n";
                return cl::exit_status::kClosed;
            }
            if (ev.kind == cl::FollowEvent::Kind::ClosingCode) {
                std::cerr << "dvlfollow: " << path << ": reply code " << ev.code << ": "
                          << cl::DescribeReply(ev.code, cl::Service::File)
                          << (ev.mid_record ? " (in the middle of a version, which was dropped)" : "")
                          << "\n";
                return static_cast<int>(ev.code);
            }
            ++versions;
            if (print) {
                WriteFd(STDOUT_FILENO, ev.content.data(), ev.content.size(), "standard output");
                if (!sep.empty()) WriteFd(STDOUT_FILENO, sep.data(), sep.size(), "standard output");
            }
            if (!output.empty()) ReplaceFile(output, ev.content);
            if (!exec_cmd.empty()) {
                int status;
                try {
                    status = RunCommand(exec_cmd, ev.content, versions, path);
                } catch (const cl::ClientError& e) {
                    std::cerr << "dvlfollow: cannot run the --exec command: " << e.what() << "\n";
                    return cl::exit_status::kExecFailed;
                }
                if (status != 0)
                    std::cerr << "dvlfollow: the --exec command ended with status " << status
                              << " for version " << versions << "\n";
            }
        }
        return cl::exit_status::kOk;
    } catch (const cl::ClientError& e) {
        std::cerr << "dvlfollow: " << e.what() << "\n";
        return cl::ExitStatusFor(e);
    } catch (const std::exception& e) {
        std::cerr << "dvlfollow: " << e.what() << "\n";
        return cl::exit_status::kUnexpected;
    }
}
