// Temporary directories and whole-file reads and writes for tests.
#pragma once

#include <string>

namespace testsupport {

// A fresh directory under TMPDIR (or /tmp) named PREFIX.XXXXXX, removed with
// its contents on destruction. path() is empty when mkdtemp failed.
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "plughost-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole file, or empty when it cannot be read.
std::string readFile(const std::string &path);
// Replaces a file's content (truncate, then one write sequence); false on failure.
bool writeFile(const std::string &path, const std::string &content);
// Puts a new file with `content` in place of `path` in one rename, so a
// reader sees either the old file or the whole new one, never a torn one
// (a write into the file itself can be read half done).
bool replaceFile(const std::string &path, const std::string &content);
// Writes content over the start of an existing file in one call, without
// truncating it first: a reader never finds the file shorter than before.
bool overwriteFile(const std::string &path, const std::string &content);

} // namespace testsupport
