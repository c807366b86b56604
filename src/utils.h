#ifndef UTILS_H
#define UTILS_H

#include <string>

using std::string;

// File tests and the remembered audio folder.
class utils {
public:
    // A new string the caller deletes: the stored folder, or "." when none is stored.
    static string* getlastdir(string key);
    static void setlastdir(string key, const char* value);
    static bool fileExists(const char* path);
};

#endif
