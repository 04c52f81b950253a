// Files written under a temporary name beside their target and renamed
// when complete, and the list of those temporary names that lets a signal
// handler remove them when the process is stopped half way. Plain C++, with
// no other part of the image-file library, so that the toolkit's image
// module can share it.
#include "tools/imagefiles/imagefile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace imagefiles {

// The temporary files in flight. A slot holds a name allocated with malloc;
// whoever takes it out of the slot (the file when it is done, or the signal
// handler) owns it. `creating` counts files between the choice of their name
// and their creation, which the handler waits for: a file created after its
// sweep would be left behind.
struct TemporaryFileList {
    static constexpr size_t Slots = 1024;
    std::atomic<char*> names[Slots] = {};
    std::atomic<int> creating{0};
    std::atomic<bool> ending{false};
};

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

TemporaryFileList ownList;
std::atomic<TemporaryFileList*> activeList{&ownList};

// Six characters for the name, from a counter, the process and the clock
// mixed by SplitMix64 (Steele, Lea and Flood, "Fast splittable pseudorandom
// number generators", 2014).
void fillRandomName(char* x)
{
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t z = (counter++ * 0x9E3779B97F4A7C15ull) ^ (uint64_t(::getpid()) << 32) ^ uint64_t(now.tv_nsec) ^
                 (uint64_t(now.tv_sec) << 20);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    static const char Letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < 6; ++i, z /= 62) x[i] = Letters[z % 62];
}

// The file's name into a free slot; null when all are taken (the file is
// then written unlisted).
std::atomic<char*>* listName(TemporaryFileList& list, char* name)
{
    for (std::atomic<char*>& slot : list.names) {
        char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, name)) return &slot;
    }
    return nullptr;
}

void onStopSignal(int signal)
{
    TemporaryFileList& list = *activeList.load();
    list.ending = true;
    // Files being created on other threads: at most a tenth of a second, in
    // case the one interrupted here is among them.
    for (int i = 0; i < 100 && list.creating.load() > 0; ++i) {
        const timespec millisecond{0, 1000000};
        ::nanosleep(&millisecond, nullptr);
    }
    for (std::atomic<char*>& slot : list.names)
        if (char* name = slot.exchange(nullptr)) ::unlink(name);
    // Ended by the signal itself, so that the parent sees why (a shell
    // reports 128 + the signal's number).
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

}   // namespace

TemporaryFileList* temporaryFileList()
{
    return activeList.load();
}

void useTemporaryFileList(TemporaryFileList* list)
{
    if (list) activeList = list;
}

void removeTemporaryFilesOnSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction before {};
        // A signal the caller's caller ignored (nohup) stays ignored.
        if (::sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
}

PendingFile::PendingFile(const std::string& target) : target_(target)
{
    TemporaryFileList& list = *activeList.load();
    const std::string pattern = target + ".partial-XXXXXX";
    ++list.creating;
    if (list.ending) {
        // The process is being ended: no new file.
        --list.creating;
        error_ = std::strerror(EINTR);
        return;
    }
    char* name = static_cast<char*>(std::malloc(pattern.size() + 1));
    int fd = -1;
    if (name) {
        std::memcpy(name, pattern.c_str(), pattern.size() + 1);
        slot_ = listName(list, name);
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            fillRandomName(name + pattern.size() - 6);
            fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST) break;
        }
    }
    const int why = name ? errno : ENOMEM;
    --list.creating;
    if (fd < 0) {
        error_ = std::strerror(why);
        forget();
        return;
    }
    ::fchmod(fd, NewFileMode);
    temp_ = name;
    if (!slot_) std::free(name);
    // Renaming over a file makes some file systems (ext4) write the new
    // file's data to the disk first, and wait for it; written out along the
    // way instead, the data is mostly there by the time of the rename.
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) fd_ = fd;
    else ::close(fd);
}

// The name out of the list, freed unless the signal handler has taken it.
void PendingFile::forget()
{
    if (!slot_) return;
    std::free(slot_->exchange(nullptr));
    slot_ = nullptr;
}

std::string PendingFile::failure(const std::string& why) const
{
    const std::string::size_type slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) == 0 && (fs.f_bavail == 0 || fs.f_bfree == 0))
        return "no space left on the device";
    return why;
}

void PendingFile::startWriteback()
{
    if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

PendingFile::~PendingFile()
{
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
    forget();
}

namespace {

// A replaced file's permissions and, as far as the process may set it, its
// owner and group go to the file that replaces it.
void keepOwnerAndMode(const std::string& replaced, const std::string& replacement)
{
    struct stat st;
    if (::stat(replaced.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (::chown(replacement.c_str(), st.st_uid, st.st_gid) != 0 &&
        ::chown(replacement.c_str(), uid_t(-1), st.st_gid) != 0) {
        // Neither: the replacement stays the process's own.
    }
    ::chmod(replacement.c_str(), st.st_mode & 07777);
}

}   // namespace

bool PendingFile::commit(bool overwrite)
{
    if (temp_.empty()) return false;
    if (overwrite) {
        keepOwnerAndMode(target_, temp_);
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
    forget();
    return true;
}

}   // namespace imagefiles
