#include "support/plughost.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace testsupport {

Startup readStartup(int fd, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    Startup s;
    while (!s.ready && waitFd(fd, POLLIN, deadline)) {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        s.text.append(buf, static_cast<std::size_t>(n));
        s.ready = s.text.rfind("ready\n", 0) == 0 || s.text.find("\nready\n") != std::string::npos;
    }
    // Each listener: "listening on ADDR (NAME)".
    std::istringstream lines(s.text);
    std::string l;
    while (std::getline(lines, l)) {
        const auto open = l.rfind(" (");
        if (l.rfind("listening on ", 0) == 0 && open != std::string::npos && l.back() == ')')
            s.addresses[l.substr(open + 2, l.size() - open - 3)] = l.substr(13, open - 13);
    }
    return s;
}

bool Plughost::start(SpawnOptions options, std::string *error)
{
    options.captureStdout = true;
    proc_ = testsupport::start(options, error);
    if (proc_.pid <= 0)
        return false;
    pid_ = proc_.pid;
    startup_ = readStartup(proc_.out, kWait);
    // plughost writes nothing more on its standard output.
    ::close(proc_.out);
    proc_.out = -1;
    return startup_.ready;
}

bool Plughost::start(const std::vector<std::string> &argv)
{
    dir_ = std::make_unique<TempDir>("plughost");
    SpawnOptions o;
    o.argv = argv;
    o.stdinFromNull = false;
    o.stderrFile = dir_->file("stderr");
    std::string error;
    const bool ready = start(o, &error);
    if (!ready)
        waitExit();
    return ready;
}

std::string Plughost::errors() const { return dir_ ? readFile(dir_->file("stderr")) : std::string(); }

int Plughost::waitExit(std::chrono::milliseconds bound)
{
    if (status_ >= 0 || proc_.pid <= 0)
        return status_;
    const int st = testsupport::waitExit(proc_, static_cast<int>(bound.count()));
    if (st != -1)
        status_ = st;
    return st;
}

int Plughost::stop(int sig, std::chrono::milliseconds bound)
{
    if (status_ < 0)
        signalProcess(proc_.pid, sig);
    return waitExit(bound);
}

void Plughost::kill()
{
    if (status_ < 0 && signalProcess(proc_.pid, SIGKILL))
        waitExit(kWait);
}

std::string Plughost::address(const std::string &plugin) const
{
    const auto it = startup_.addresses.find(plugin);
    return it == startup_.addresses.end() ? std::string() : it->second;
}

LoopbackServer::LoopbackServer(const std::string &plughost, const std::string &moduleDir, const std::string &plugin,
                               const Env &env, const std::string &logFile, const std::vector<std::string> &extra)
{
    SpawnOptions o;
    o.argv = {plughost, "--module-dir", moduleDir, "--listen", plugin + "=127.0.0.1:0"};
    o.argv.insert(o.argv.end(), extra.begin(), extra.end());
    o.env = env;
    o.stderrFile = logFile;
    if (!host_.start(o, &error_)) {
        if (host_.pid() > 0)
            error_ = "plughost did not report ready within 20 s; it printed: " + host_.startup().text;
        return;
    }
    const std::string address = host_.address(plugin);
    const std::string prefix = "127.0.0.1:";
    if (address.rfind(prefix, 0) != 0) {
        error_ = "no listening line in: " + host_.startup().text;
        return;
    }
    port_ = std::atoi(address.c_str() + prefix.size());
    if (port_ <= 0)
        error_ = "bad port in: " + host_.startup().text;
}

LoopbackServer::~LoopbackServer() { stop(); }

int LoopbackServer::stop()
{
    if (pid() <= 0)
        return -1;
    const int status = host_.stop(SIGTERM);
    if (status == -1)
        host_.kill();
    return status;
}

} // namespace testsupport
