#include "SafeSave.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <vector>

#include "MemoryBudget.h"
#include "utils.h"

using std::string;

static string quoted(const string& name) { return "\"" + utils::printable(name) + "\""; }

static string folderOf(const string& path) {
    size_t slash = path.rfind('/');
    if (slash == string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

static string nameOf(const string& path) { return path.substr(path.rfind('/') + 1); }

static string reasonFor(int error) {
    if (error == ECANCELED) return "a signal asked it to stop";
    return strerror(error ? error : EIO);
}

// ------------------------------------------------------------- being stopped

static volatile sig_atomic_t stopSignal = 0;

static void noteStopSignal(int signal) { stopSignal = signal; }

bool saveStopRequested() { return stopSignal != 0; }

// While a save runs, these signals only ask it to stop; once it has cleaned
// up, the signal ends the program as it would have. One that the program was
// told to ignore (nohup) stays ignored.
class StopSignals {
public:
    StopSignals() {
        stopSignal = 0;
        struct sigaction asking {};
        asking.sa_handler = noteStopSignal;
        sigemptyset(&asking.sa_mask);
        for (int i = 0; i < COUNT; i++) {
            sigaction(SIGNALS[i], &asking, &saved[i]);
            if (saved[i].sa_handler == SIG_IGN) sigaction(SIGNALS[i], &saved[i], nullptr);
        }
    }
    ~StopSignals() {
        for (int i = 0; i < COUNT; i++) sigaction(SIGNALS[i], &saved[i], nullptr);
        if (stopSignal) raise(stopSignal);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    static const int COUNT = 3;
    static constexpr int SIGNALS[COUNT] = {SIGTERM, SIGHUP, SIGINT};
    struct sigaction saved[COUNT];
};

// ----------------------------------------------------------------- writing

// Writes with every sample clipped, never wrapped into a loud click; `out` is
// closed. `error` tells why it failed.
static bool writeAndClose(SNDFILE* out, SF_INFO& format, const WriteBody& writeBody, int& error) {
    sf_format_check(&format);
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    errno = 0;
    bool ok = writeBody(out);
    error = saveStopRequested() ? ECANCELED : errno ? errno : EIO;
    sf_write_sync(out);
    return sf_close(out) == 0 && ok;
}

// Writes the audio into `fd`, which stays open.
static SaveOutcome writeAudioInto(int fd, SF_INFO& format, const WriteBody& writeBody) {
    errno = 0;
    SNDFILE* out = sf_open_fd(fd, SFM_WRITE, &format, SF_FALSE);
    // A header that could not be written fails for the system's reason, such as a full disk.
    if (!out) return {true, errno ? strerror(errno) : sf_strerror(nullptr)};
    int error = 0;
    if (writeAndClose(out, format, writeBody, error)) return {};
    return {false, reasonFor(error)};
}

static const long long COPY_BLOCK = 1 << 20;

// Copies the first `length` bytes of `from` over the start of `to`: 0, or
// why it failed. A stoppable copy ends early when a signal asks.
static int copyBytes(int from, int to, long long length, bool stoppable) {
    std::vector<char> block(COPY_BLOCK);
    for (long long at = 0; at < length;) {
        if (stoppable && saveStopRequested()) return ECANCELED;
        ssize_t got = pread(from, block.data(), std::min(COPY_BLOCK, length - at), at);
        if (got <= 0) return got < 0 ? errno : EIO;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = pwrite(to, block.data() + done, got - done, at + done);
            if (put <= 0) return put < 0 ? errno : EIO;
            done += put;
        }
        at += got;
    }
    return 0;
}

static void fsyncFolder(const string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// ------------------------------------------------------------------ links

// Links are followed no deeper than the kernel follows them.
static const int MOST_LINKS = 40;

// A link in a folder anyone may write (sticky, like /tmp) is followed only when
// it belongs to the user or to the folder's owner: the kernel's own rule, which
// keeps another user from steering a save onto a file of their choosing.
static bool planted(const string& link, const struct stat& linkStat) {
    struct stat folder;
    if (stat(folderOf(link).c_str(), &folder) != 0) return false;
    bool shared = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
    return shared && linkStat.st_uid != geteuid() && linkStat.st_uid != folder.st_uid;
}

// One link at a time, so a link to a file not made yet leads to its name.
// "" with `refusal` set where a link must not be followed.
static string followLinks(const string& path, string& refusal) {
    string current = path;
    for (int hop = 0; hop < MOST_LINKS; hop++) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        if (planted(current, st)) {
            refusal = quoted(current) + " is a link that another user put in a folder anyone may write; "
                      "Cantorel does not follow such a link, as the system itself would not.";
            return "";
        }
        std::vector<char> link(PATH_MAX + 1, '\0');
        ssize_t n = readlink(current.c_str(), link.data(), PATH_MAX);
        if (n <= 0) return current;
        string next(link.data(), n);
        current = next[0] == '/' ? next : folderOf(current) + "/" + next;
    }
    refusal = strerror(ELOOP);
    return "";
}

string savedFileOf(const string& target) {
    string refusal;
    string followed = followLinks(target, refusal);
    return followed.empty() ? target : followed;
}

// ----------------------------------------------------------------- target

// What a save finds where it is to write.
struct Target {
    string path;  // links followed
    bool exists = false;
    struct stat st {};
};

// Why the target must not be written, or "". A named pipe would block or
// swallow the audio, and a device would be written raw; root is refused a
// write-protected file too, as an editor asks before writing over one.
static string refusalFor(Target& target) {
    if (stat(target.path.c_str(), &target.st) != 0) return "";
    target.exists = true;
    if (const char* kind = utils::nonFileKind(target.st.st_mode))
        return string("it is ") + kind + "; Cantorel saves only into regular files.";
    if ((target.st.st_mode & 0222) == 0) return "the file is write-protected.";
    int fd = open(target.path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return strerror(errno);
    close(fd);
    return "";
}

// New files are ".NAME.cantorel-PID-XXXXXX" while they have a name: the writer
// is named, so a later save can tell a stale file from one still being written.
static string temporaryPrefix(const string& name) { return "." + name + ".cantorel-"; }

static bool isSuffixOfSix(const string& text) {
    return text.size() == 6 && std::all_of(text.begin(), text.end(), [](char c) { return isalnum((unsigned char)c); });
}

// Earlier saves wrote ".NAME.cantorel-XXXXXX", naming no writer.
static bool staleTemporary(const string& rest) {
    if (isSuffixOfSix(rest)) return true;
    size_t dash = rest.find('-');
    if (dash == string::npos || dash == 0 || !isSuffixOfSix(rest.substr(dash + 1))) return false;
    if (!std::all_of(rest.begin(), rest.begin() + dash, [](char c) { return isdigit((unsigned char)c); })) return false;
    pid_t writer = static_cast<pid_t>(std::atol(rest.substr(0, dash).c_str()));
    return kill(writer, 0) != 0 && errno == ESRCH;
}

// Files that killed saves of this target left beside it.
static void removeStaleTemporaries(const string& folder, const string& name) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    string prefix = temporaryPrefix(name);
    while (dirent* entry = readdir(dir)) {
        string found = entry->d_name;
        if (found.compare(0, prefix.size(), prefix) != 0 || !staleTemporary(found.substr(prefix.size()))) continue;
        if (unlink((folder + "/" + found).c_str()) == 0)
            std::cout << "Removed " << quoted(folder + "/" + found) << ", left by an interrupted save.\n";
    }
    closedir(dir);
}

static string randomSuffix() {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 pick{std::random_device{}()};
    string suffix;
    for (int i = 0; i < 6; i++) suffix += LETTERS[pick() % (sizeof LETTERS - 1)];
    return suffix;
}

// --------------------------------------------------------- save by rename

// The new file: unnamed until it is complete, where the file system allows.
struct NewFile {
    int fd = -1;
    string name;  // its passing name, once it has one

    void discard() {
        if (fd >= 0) close(fd);
        if (!name.empty()) unlink(name.c_str());
        fd = -1;
    }
};

static NewFile createBeside(const string& folder, const string& name, int& error) {
    NewFile made;
    made.fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (made.fd >= 0) return made;
    error = errno;
    if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL) return made;
    string pattern = folder + "/" + temporaryPrefix(name) + std::to_string(getpid()) + "-XXXXXX";
    made.fd = mkstemp(&pattern[0]);
    error = errno;
    if (made.fd >= 0) made.name = pattern;
    return made;
}

// An unnamed file gets a passing name beside the target; the rename takes it away.
static int linkIn(NewFile& file, const string& folder, const string& name) {
    if (!file.name.empty()) return 0;
    string handle = "/proc/self/fd/" + std::to_string(file.fd);
    for (int attempt = 0; attempt < 100; attempt++) {
        string candidate = folder + "/" + temporaryPrefix(name) + std::to_string(getpid()) + "-" + randomSuffix();
        int linked = linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno == ENOENT) linked = linkat(file.fd, "", AT_FDCWD, candidate.c_str(), AT_EMPTY_PATH);
        if (linked == 0) file.name = candidate;
        if (linked == 0 || errno != EEXIST) return linked == 0 ? 0 : errno;
    }
    return EEXIST;
}

static mode_t modeFor(const Target& target) {
    if (target.exists) return target.st.st_mode & 07777 & ~(S_ISUID | S_ISGID);
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

static SaveOutcome saveByRename(const Target& target, NewFile& file, SF_INFO& format, const WriteBody& writeBody) {
    string folder = folderOf(target.path), name = nameOf(target.path);
    SaveOutcome outcome = writeAudioInto(file.fd, format, writeBody);
    int error = 0;
    if (outcome.saved() && (fchmod(file.fd, modeFor(target)) != 0 || fsync(file.fd) != 0)) error = errno;
    if (outcome.saved() && !error) error = linkIn(file, folder, name);
    if (outcome.saved() && !error && rename(file.name.c_str(), target.path.c_str()) != 0) error = errno;
    if (outcome.saved() && !error) {
        file.name.clear();
        fsyncFolder(folder);
    }
    file.discard();
    if (error) outcome.reason = reasonFor(error);
    return outcome;
}

// ------------------------------------------------------- save in place

string keptCopiesFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/') return string(cache) + "/cantorel";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        struct passwd* user = getpwuid(geteuid());
        home = user ? user->pw_dir : "/tmp";
    }
    return string(home) + "/.cache/cantorel";
}

static int makeFolders(const string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (slash == string::npos) return 0;
    }
}

// A copy of a file about to be written in place, and a note of whose it is
// (the saving process, then the file's path), until the new audio is there.
struct KeptCopy {
    string path;
    string note() const { return path + ".origin"; }
    void remove() const {
        unlink(note().c_str());
        unlink(path.c_str());
    }
};

static int writeNote(const string& notePath, const string& text) {
    int fd = open(notePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    int error = ok ? 0 : errno ? errno : EIO;
    return close(fd) == 0 ? error : errno;
}

// The copy keeps the file's name and extension, with six letters between.
static int keepCopy(int fd, const Target& target, const string& folder, KeptCopy& copy) {
    string name = nameOf(target.path);
    size_t dot = name.rfind('.');
    string extension = dot == string::npos || dot == 0 ? "" : name.substr(dot);
    copy.path = folder + "/" + name.substr(0, name.size() - extension.size()) + "-XXXXXX" + extension;
    int copyFd = mkstemps(&copy.path[0], static_cast<int>(extension.size()));
    if (copyFd < 0) return errno;
    int error = copyBytes(fd, copyFd, target.st.st_size, true);
    if (!error && fsync(copyFd) != 0) error = errno;
    close(copyFd);
    if (!error) error = writeNote(copy.note(), std::to_string(getpid()) + "\n" + target.path);
    if (error) copy.remove();
    fsyncFolder(folder);
    return error;
}

// Writes `length` bytes of `from` over the file and cuts it there.
static int overwrite(int fd, int from, long long length, bool stoppable) {
    int error = copyBytes(from, fd, length, stoppable);
    if (!error && ftruncate(fd, length) != 0) error = errno;
    if (!error && fsync(fd) != 0) error = errno;
    return error;
}

// Room for the new audio is taken before a byte of the file changes, so a full
// disk refuses the save instead of cutting the file short.
static string makeRoom(int fd, const Target& target, long long length) {
    int error = posix_fallocate(fd, 0, length);
    if (!error) return "";
    struct stat now;
    if (fstat(fd, &now) == 0 && now.st_size != target.st.st_size) (void)!ftruncate(fd, target.st.st_size);
    if (error != ENOSPC) return string(strerror(error)) + "; the file is as it was.";
    return "there is not enough space on its disk for the new audio (" + readableSize(length) + "); the file is as it was.";
}

static SaveOutcome overwriteKeepingCopy(const Target& target, int fd, int scratch, const string& folder) {
    long long length = lseek(scratch, 0, SEEK_END);
    KeptCopy copy;
    if (int error = keepCopy(fd, target, folder, copy))
        return {false, "no copy of it could be kept in " + quoted(folder) + " (" + reasonFor(error) +
                           "), so it was not written; it is as it was."};
    string noRoom = makeRoom(fd, target, length);
    if (!noRoom.empty()) {
        copy.remove();
        return {false, noRoom};
    }
    int error = overwrite(fd, scratch, length, true);
    if (!error && (target.st.st_mode & (S_ISUID | S_ISGID))) fchmod(fd, target.st.st_mode & 0777);
    if (!error) {
        copy.remove();
        return {};
    }
    int kept = open(copy.path.c_str(), O_RDONLY | O_CLOEXEC);
    bool putBack = kept >= 0 && overwrite(fd, kept, target.st.st_size, false) == 0;
    if (kept >= 0) close(kept);
    if (!putBack)
        return {false, reasonFor(error) + ", and the file could not be put back: it is kept in " + quoted(copy.path) + "."};
    copy.remove();
    return {false, reasonFor(error) + "; the file was put back as it was."};
}

// An unnamed file in `folder` for the new audio; -1 with errno set.
static int scratchFileIn(const string& folder) {
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    string pattern = folder + "/.new-audio-XXXXXX";
    fd = mkstemp(&pattern[0]);
    if (fd >= 0) unlink(pattern.c_str());
    return fd;
}

// The target opened for the overwrite, once the new audio is ready: still the
// file that was inspected. -1 with `outcome` saying why not.
static int openSameFile(const Target& target, SaveOutcome& outcome) {
    int fd = open(target.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (fd < 0) outcome = {true, strerror(errno)};
    else if (fstat(fd, &opened) != 0 || opened.st_dev != target.st.st_dev || opened.st_ino != target.st.st_ino)
        outcome = {true, "another file took its place while it was being saved."};
    if (outcome.saved()) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// A file that cannot be replaced is written over itself, from new audio made
// first beside the copy that is kept of it.
static SaveOutcome saveInPlace(const Target& target, SF_INFO& format, const WriteBody& writeBody, const string& why) {
    string folder = keptCopiesFolder();
    std::cout << "Writing " << quoted(target.path) << " in place: " << why << "; a copy is kept in " << quoted(folder)
              << " meanwhile.\n";
    int error = makeFolders(folder);
    int scratch = error ? -1 : scratchFileIn(folder);
    if (scratch < 0)
        return {true, "no copy of it can be kept in " + quoted(folder) + " (" + strerror(error ? error : errno) +
                          "), so it was not written."};
    SaveOutcome outcome = writeAudioInto(scratch, format, writeBody);
    if (!outcome.saved() && !saveStopRequested())
        outcome.reason = "the new audio could not be made in " + quoted(folder) + " first (" + outcome.reason +
                         "); the file is as it was.";
    int fd = outcome.saved() ? openSameFile(target, outcome) : -1;
    if (fd >= 0) {
        outcome = overwriteKeepingCopy(target, fd, scratch, folder);
        close(fd);
    }
    close(scratch);
    return outcome;
}

// The pid of the save that left a note, and the path the copy belongs to.
static bool readNote(const string& notePath, pid_t& writer, string& original) {
    int fd = open(notePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    string text;
    char block[4096];
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;) text.append(block, got);
    close(fd);
    size_t newline = text.find('\n');
    if (newline == string::npos) return false;
    writer = static_cast<pid_t>(std::atol(text.substr(0, newline).c_str()));
    original = text.substr(newline + 1);
    return true;
}

void reportInterruptedSaves() {
    string folder = keptCopiesFolder();
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    std::vector<string> notes;
    while (dirent* entry = readdir(dir)) {
        string name = entry->d_name;
        if (name.size() > 7 && name.compare(name.size() - 7, 7, ".origin") == 0) notes.push_back(name);
    }
    closedir(dir);
    std::sort(notes.begin(), notes.end());
    for (const string& note : notes) {
        string copy = folder + "/" + note.substr(0, note.size() - 7), original;
        pid_t writer = 0;
        bool stillSaving = readNote(folder + "/" + note, writer, original) && writer > 0 && kill(writer, 0) == 0;
        if (original.empty() || stillSaving || access(copy.c_str(), F_OK) != 0) continue;
        std::cout << "A save of " << quoted(original) << " was interrupted; the file as it was before is kept in "
                  << quoted(copy) << ". If it is damaged, copy that back over it; then delete the copy.\n";
    }
}

// ------------------------------------------------------------------ saving

static SaveOutcome saveTarget(const string& path, SF_INFO& format, const WriteBody& writeBody) {
    Target target;
    string refusal;
    target.path = followLinks(path, refusal);
    if (target.path.empty()) return {true, refusal};
    refusal = refusalFor(target);
    if (!refusal.empty()) return {true, refusal};
    string folder = folderOf(target.path), name = nameOf(target.path);
    removeStaleTemporaries(folder, name);
    // A rename would leave the file's other names with the old audio.
    if (target.exists && target.st.st_nlink > 1)
        return saveInPlace(target, format, writeBody, "it has " + std::to_string(target.st.st_nlink) + " names");
    int error = 0;
    NewFile file = createBeside(folder, name, error);
    if (file.fd < 0 && target.exists && (error == EACCES || error == EPERM || error == EROFS))
        return saveInPlace(target, format, writeBody, string("no new file can be made beside it (") + strerror(error) + ")");
    if (file.fd < 0) return {true, strerror(error)};
    if (target.exists && fchown(file.fd, target.st.st_uid, target.st.st_gid) != 0) {
        error = errno;
        file.discard();
        return saveInPlace(target, format, writeBody, string("a new file could not keep its owner (") + strerror(error) + ")");
    }
    return saveByRename(target, file, format, writeBody);
}

SaveOutcome saveSafely(const string& target, SF_INFO& format, const WriteBody& writeBody) {
    StopSignals stopping;
    SaveOutcome outcome = saveTarget(target, format, writeBody);
    if (saveStopRequested() && outcome.saved())
        std::cout << "Saved " << quoted(target) << "; ending, as a signal asked." << std::endl;
    else if (saveStopRequested())
        std::cout << "Saving " << quoted(target) << " ended early: " << outcome.reason << std::endl;
    return outcome;
}
