#pragma once
// Whole-file reads and writes that never leave a half-written file behind: the data goes to
// a temporary file in the same folder, is flushed, and then renamed over the target.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolva::platform {

// Writes all bytes or nothing; returns false (target untouched) on any failure.
bool writeFileAtomically(const std::filesystem::path& target, const void* data, std::size_t size);

// Reads a whole file of at most maxBytes; nullopt when missing, unreadable or too large.
std::optional<std::vector<unsigned char>> readFile(const std::filesystem::path& file,
                                                   std::size_t maxBytes);

// What identifies one version of a file: a rename-based write gives a new inode, and two
// writes may share one mtime tick, so all of these are compared.
struct FileIdentity {
    bool exists = false;
    bool regular = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity fileIdentity(const std::filesystem::path& file);

} // namespace kolva::platform
