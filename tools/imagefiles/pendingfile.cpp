// Files written under a temporary name beside their target and renamed
// when complete. Plain C++, with no other part of the image-file library,
// so that the toolkit's image module can share it.
#include "tools/imagefiles/imagefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace imagefiles {

namespace {

// The permissions a newly created file gets under the process's umask, read
// once when loaded. The toolkit's image module is loaded while other threads
// may be creating files, so the mask is read from the process's status
// rather than by setting it; only where that is missing is it set and put
// back.
const mode_t NewFileMode = [] {
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found) return mode_t(0666 & ~mask);
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode_t(0666 & ~mask);
}();

}   // namespace

PendingFile::PendingFile(const std::string& target) : target_(target)
{
    std::string pattern = target + ".partial-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error_ = std::strerror(errno);
        return;
    }
    ::fchmod(fd, NewFileMode);
    temp_ = pattern;
    // Renaming over a file makes some file systems (ext4) write the new
    // file's data to the disk first, and wait for it; written out along the
    // way instead, the data is mostly there by the time of the rename.
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) fd_ = fd;
    else ::close(fd);
}

void PendingFile::startWriteback()
{
    if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

PendingFile::~PendingFile()
{
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool PendingFile::commit(bool overwrite)
{
    if (temp_.empty()) return false;
    if (overwrite) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) return error_ = std::strerror(errno), false;
    } else if (::link(temp_.c_str(), target_.c_str()) == 0) {
        ::unlink(temp_.c_str());
    } else if (errno == EEXIST) {
        return error_ = "the file exists (use --overwrite to replace it)", false;
    } else {
        // File systems without hard links: the existence check and the
        // rename are then two steps.
        struct stat st;
        if (::stat(target_.c_str(), &st) == 0) return error_ = "the file exists (use --overwrite to replace it)", false;
        if (::rename(temp_.c_str(), target_.c_str()) != 0) return error_ = std::strerror(errno), false;
    }
    temp_.clear();
    return true;
}

}   // namespace imagefiles
