// Where ovclient keeps the image service's key: one file per server address.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "clientlib/address.h"

namespace clientlib {

// The address text made safe as one file name: letters, digits, '.', '-'
// and '_' stay, every other byte becomes %XX. Different addresses give
// different names; very long ones are shortened with a hash.
std::string SanitiseForFileName(std::string_view text);

// $XDG_STATE_HOME/ovclient/<name>, or $HOME/.local/state/ovclient/<name> when
// XDG_STATE_HOME is unset, empty or relative. Null arguments mean unset.
// Throws ClientError(KeyFile) when neither gives an absolute directory.
std::filesystem::path DefaultKeyFilePath(const Address& address, const char* xdg_state_home,
                                         const char* home);

// The key stored in the file, or nothing when the file does not exist.
// Throws ClientError(KeyFile) when it cannot be read or holds no key
// (a decimal number from 1 to 2147483647, optionally followed by a line end).
std::optional<uint32_t> ReadKeyFile(const std::filesystem::path& file);

// Stores the key, replacing the file atomically; missing directories are
// created with mode 0700, the file gets mode 0600. Throws ClientError(KeyFile).
void WriteKeyFile(const std::filesystem::path& file, uint32_t key);

}  // namespace clientlib
