#ifndef UTILS_H
#define UTILS_H

#include <sys/types.h>

#include <string>

using std::string;

// File tests and the remembered audio folder.
class utils {
public:
    // A new string the caller deletes: the stored folder, or "." when none is stored.
    static string* getlastdir(string key);
    static void setlastdir(string key, const char* value);
    static bool fileExists(const char* path);
    // What a file of this mode is when it is no regular file ("a named pipe"); null for a regular file.
    static const char* nonFileKind(mode_t mode);
    // A file name as it may be shown or printed: control characters, and bytes
    // that are not UTF-8, become escapes, so no name can drive a terminal.
    static string printable(const string& name);
};

#endif
