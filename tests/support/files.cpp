#include "support/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

TempDir::TempDir(const std::string &prefix)
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    // Its real path: programs under test report resolved paths.
    if (::mkdtemp(tmpl.data())) {
        std::error_code ec;
        const auto real = std::filesystem::canonical(tmpl, ec);
        path_ = ec ? tmpl : real.string();
    }
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        // A directory made unwritable by a test is made writable first.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeFile(const std::string &path, const std::string &content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0;
}

bool replaceFile(const std::string &path, const std::string &content)
{
    const std::string temp = path + ".new";
    if (!writeFile(temp, content))
        return false;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool overwriteFile(const std::string &path, const std::string &content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n;
    do
        n = ::pwrite(fd, content.data(), content.size(), 0);
    while (n < 0 && errno == EINTR);
    const bool ok = n == static_cast<ssize_t>(content.size());
    return ::close(fd) == 0 && ok;
}

} // namespace testsupport
