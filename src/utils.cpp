#include "utils.h"

#include <FL/Fl_Preferences.H>
#include <sys/stat.h>

#include <vector>

static const char* const VENDOR = "kelv";
static const char* const APPLICATION = "Cantorel";

string* utils::getlastdir(string key) {
    Fl_Preferences prefs(Fl_Preferences::USER, VENDOR, APPLICATION);
    if (!prefs.entryExists(key.c_str())) return new string(".");
    // Read the whole value, however long the folder's path is.
    std::vector<char> value(prefs.size(key.c_str()) + 1, '\0');
    prefs.get(key.c_str(), value.data(), ".", static_cast<int>(value.size()));
    return new string(value.data());
}

void utils::setlastdir(string key, const char* value) {
    Fl_Preferences prefs(Fl_Preferences::USER, VENDOR, APPLICATION);
    prefs.set(key.c_str(), value);
}

bool utils::fileExists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}
