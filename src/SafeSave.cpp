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

SaveOutcome saveSafely(const string& target, SF_INFO& format, const std::function<bool(SNDFILE*)>& writeBody) {
    string resolved = resolvedTarget(target);
    size_t slash = resolved.rfind('/');
    string folder = slash == string::npos ? "." : resolved.substr(0, slash);
    string name = slash == string::npos ? resolved : resolved.substr(slash + 1);
    string temporary = folder + "/." + name + ".cantorel-XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) return openFailure(strerror(errno));
    SNDFILE* out = sf_open_fd(fd, SFM_WRITE, &format, SF_FALSE);
    if (!out) {
        close(fd);
        unlink(temporary.c_str());
        return openFailure(sf_strerror(nullptr));
    }
    sf_format_check(&format);
    std::cout << "1\n";
    // Out-of-range samples are clipped, never wrapped into a loud click.
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    errno = 0;
    bool ok = writeBody(out);
    int writeErr = errno;
    sf_write_sync(out);
    ok = sf_close(out) == 0 && ok;
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
