#include "SafeSave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

using std::string;

// The file a name finally stands for: a symbolic link is followed, so the
// file it points to is replaced and the link survives.
static string resolvedTarget(const string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = realpath(path.c_str(), nullptr);
    if (real) {
        string resolved(real);
        free(real);
        return resolved;
    }
    std::vector<char> link(PATH_MAX + 1, '\0');
    ssize_t n = readlink(path.c_str(), link.data(), PATH_MAX);
    if (n <= 0) return path;
    string target(link.data(), n);
    if (target[0] == '/') return target;
    size_t slash = path.rfind('/');
    return slash == string::npos ? target : path.substr(0, slash + 1) + target;
}

static mode_t permissionsFor(const string& target) {
    struct stat st;
    if (stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

static bool finishFile(int fd, mode_t mode) {
    bool ok = fchmod(fd, mode) == 0 && fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

static SaveOutcome openFailure(const string& reason) { return {true, reason}; }

// Writes with every sample clipped, never wrapped into a loud click; `out` is closed.
static bool writeAndClose(SNDFILE* out, SF_INFO& format, const std::function<bool(SNDFILE*)>& writeBody, int& writeErr) {
    sf_format_check(&format);
    std::cout << "1\n";
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    errno = 0;
    bool ok = writeBody(out);
    writeErr = errno;
    sf_write_sync(out);
    return sf_close(out) == 0 && ok;
}

// Without a temporary file the target itself is opened for writing, as a
// plain save would; a failure now can cost what the file held.
static SaveOutcome saveInPlace(const string& target, SF_INFO& format, const std::function<bool(SNDFILE*)>& writeBody) {
    SNDFILE* out = sf_open(target.c_str(), SFM_WRITE, &format);
    if (!out) return openFailure(sf_strerror(nullptr));
    int writeErr = 0;
    if (writeAndClose(out, format, writeBody, writeErr)) return {};
    return {false, strerror(writeErr ? writeErr : EIO)};
}

// An existing target is only replaced when it could be opened for writing:
// a write-protected file or a folder refuses as the open itself would.
static int openForWritingFails(const string& target) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) return 0;
    int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

SaveOutcome saveSafely(const string& target, SF_INFO& format, const std::function<bool(SNDFILE*)>& writeBody) {
    string resolved = resolvedTarget(target);
    if (int refused = openForWritingFails(resolved)) return openFailure(strerror(refused));
    size_t slash = resolved.rfind('/');
    string folder = slash == string::npos ? "." : resolved.substr(0, slash);
    string name = slash == string::npos ? resolved : resolved.substr(slash + 1);
    string temporary = folder + "/." + name + ".cantorel-XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        std::cout << "Cannot make a temporary file beside \"" << resolved << "\" (" << strerror(errno)
                  << "); writing it in place.\n";
        return saveInPlace(resolved, format, writeBody);
    }
    if (fd < 0) return openFailure(strerror(errno));
    SNDFILE* out = sf_open_fd(fd, SFM_WRITE, &format, SF_FALSE);
    if (!out) {
        close(fd);
        unlink(temporary.c_str());
        return openFailure(sf_strerror(nullptr));
    }
    int writeErr = 0;
    bool ok = writeAndClose(out, format, writeBody, writeErr);
    ok = finishFile(fd, permissionsFor(resolved)) && ok;
    if (!ok && writeErr == 0) writeErr = errno ? errno : EIO;
    if (ok && rename(temporary.c_str(), resolved.c_str()) != 0) {
        ok = false;
        writeErr = errno;
    }
    if (ok) return {};
    unlink(temporary.c_str());
    return {false, strerror(writeErr ? writeErr : EIO)};
}
