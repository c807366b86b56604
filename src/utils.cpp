#include "utils.h"

#include <FL/Fl_Preferences.H>
#include <sys/stat.h>

#include <cstdio>
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

const char* utils::nonFileKind(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

static string escaped(unsigned char byte) {
    switch (byte) {
        case '\n': return "\\n";
        case '\t': return "\\t";
        case '\r': return "\\r";
        default: {
            char text[5];
            std::snprintf(text, sizeof text, "\\x%02x", byte);
            return text;
        }
    }
}

// The length of the well-formed UTF-8 sequence at `at` that is no control
// character (C1 controls such as U+009B start escape sequences too); 0 otherwise.
static size_t printableSequence(const string& text, size_t at) {
    unsigned char lead = text[at];
    if (lead >= 0x20 && lead < 0x7f) return 1;
    size_t length = lead >= 0xf0 && lead < 0xf5 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 && lead < 0xe0 ? 2 : 0;
    if (length == 0 || lead >= 0xf5 || at + length > text.size()) return 0;
    unsigned codePoint = lead & (0x7f >> length);
    for (size_t i = 1; i < length; i++) {
        unsigned char next = text[at + i];
        if ((next & 0xc0) != 0x80) return 0;
        codePoint = codePoint << 6 | (next & 0x3f);
    }
    static const unsigned SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
    bool overlong = codePoint < SHORTEST[length], surrogate = codePoint >= 0xd800 && codePoint < 0xe000;
    bool c1 = codePoint < 0xa0;
    return overlong || surrogate || c1 || codePoint > 0x10ffff ? 0 : length;
}

string utils::printable(const string& name) {
    string shown;
    for (size_t at = 0; at < name.size();) {
        size_t length = printableSequence(name, at);
        if (length == 0) {
            shown += escaped(static_cast<unsigned char>(name[at]));
            at++;
        } else {
            shown.append(name, at, length);
            at += length;
        }
    }
    return shown;
}
