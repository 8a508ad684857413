#include "platform/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kolva::platform {

bool writeFileAtomically(const std::filesystem::path& target, const void* data, std::size_t size) {
    if (target.empty() || (data == nullptr && size > 0)) return false;
    std::string tmp = target.string() + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t left = size;
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

std::optional<std::vector<unsigned char>> readFile(const std::filesystem::path& file,
                                                   std::size_t maxBytes) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) return std::nullopt;
    std::vector<unsigned char> bytes;
    unsigned char buf[4096];
    bool ok = true;
    for (;;) {
        std::size_t n = std::fread(buf, 1, sizeof buf, f);
        if (n == 0) {
            ok = !std::ferror(f);
            break;
        }
        if (bytes.size() + n > maxBytes) {
            ok = false;
            break;
        }
        bytes.insert(bytes.end(), buf, buf + n);
    }
    std::fclose(f);
    if (!ok) return std::nullopt;
    return bytes;
}

FileIdentity fileIdentity(const std::filesystem::path& file) {
    FileIdentity id;
    struct stat st {};
    if (file.empty() || ::stat(file.c_str(), &st) != 0) return id;
    id.exists = true;
    id.regular = S_ISREG(st.st_mode);
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                 static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return id;
}

} // namespace kolva::platform
