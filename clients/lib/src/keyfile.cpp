#include "clientlib/keyfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "clientlib/error.h"

namespace clientlib {
namespace fs = std::filesystem;
namespace {

constexpr size_t kMaxNameLength = 200;

[[noreturn]] void Fail(const std::string& what, const fs::path& p, int err) {
    throw ClientError(ErrorKind::KeyFile,
                      what + " " + p.string() + (err ? std::string(": ") + std::strerror(err) : ""));
}

// Creates every missing directory of `dir` with mode 0700.
void MakeDirectories(const fs::path& dir) {
    fs::path partial;
    for (const fs::path& part : dir) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) == 0) continue;
        if (errno != EEXIST) Fail("cannot create the directory", partial, errno);
    }
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0) Fail("cannot use the directory", dir, errno);
    if (!S_ISDIR(st.st_mode)) Fail("not a directory:", dir, 0);
}

}  // namespace

std::string SanitiseForFileName(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (out == "." || out == "..") out = "%2E" + out.substr(1);
    if (out.size() > kMaxNameLength) {
        // FNV-1a over the whole text keeps long names apart.
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
        char tail[20];
        std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(h));
        out = out.substr(0, kMaxNameLength - 17) + tail;
    }
    return out;
}

fs::path DefaultKeyFilePath(const Address& address, const char* xdg_state_home, const char* home) {
    fs::path base;
    if (xdg_state_home && *xdg_state_home && fs::path(xdg_state_home).is_absolute())
        base = fs::path(xdg_state_home);
    else if (home && *home && fs::path(home).is_absolute())
        base = fs::path(home) / ".local" / "state";
    else
        throw ClientError(ErrorKind::KeyFile,
                          "no place for the key file: neither XDG_STATE_HOME nor HOME names an "
                          "absolute directory (use --key-file)");
    return base / "ovclient" / SanitiseForFileName(address.ToString());
}

std::optional<uint32_t> ReadKeyFile(const fs::path& file) {
    int fd;
    do {
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        Fail("cannot open the key file", file, errno);
    }
    char buf[64];
    size_t got = 0;
    for (;;) {
        ssize_t r = ::read(fd, buf + got, sizeof buf - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            int err = errno;
            ::close(fd);
            Fail("cannot read the key file", file, err);
        }
        if (r == 0 || got + static_cast<size_t>(r) == sizeof buf) {
            got += static_cast<size_t>(r);
            break;
        }
        got += static_cast<size_t>(r);
    }
    ::close(fd);
    std::string_view text(buf, got);
    if (text.ends_with('\n')) text.remove_suffix(1);
    uint64_t key = 0;
    bool ok = !text.empty() && text.size() <= 10;
    for (char c : text) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        key = key * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!ok || key == 0 || key > 2147483647u)
        throw ClientError(ErrorKind::KeyFile, "the key file " + file.string() +
                                                  " holds no key (a number from 1 to 2147483647)");
    return static_cast<uint32_t>(key);
}

void WriteKeyFile(const fs::path& file, uint32_t key) {
    fs::path dir = file.parent_path();
    if (dir.empty()) dir = ".";
    MakeDirectories(dir);
    std::string hidden = ".";
    hidden += file.filename().string();
    hidden += ".XXXXXX";
    std::string tmpl = (dir / hidden).string();
    int fd = ::mkstemp(tmpl.data());  // mode 0600
    if (fd < 0) Fail("cannot create a file beside", file, errno);
    std::string text = std::to_string(key) + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t r = ::write(fd, text.data() + done, text.size() - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            int err = errno;
            ::close(fd);
            ::unlink(tmpl.c_str());
            Fail("cannot write the key file", file, err);
        }
        done += static_cast<size_t>(r);
    }
    if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(tmpl.c_str());
        Fail("cannot write the key file", file, err);
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        Fail("cannot write the key file", file, err);
    }
    if (::rename(tmpl.c_str(), file.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        Fail("cannot replace the key file", file, err);
    }
}

}  // namespace clientlib
