#include "convertlib.h"

#include <cstdlib>

namespace {

const string DECIMAL_DIGITS = "0123456789";
const string HEX_DIGITS = "0123456789ABCDEF";

bool isUpperLetter(char c)
{
    return c >= 'A' && c <= 'Z';
}

string repeated(const string& piece, int times)
{
    string result;
    for (int i = 0; i < times; i++)
        result += piece;
    return result;
}

// A negative width keeps the whole text.
string firstChars(const string& text, int width)
{
    return width < 0 ? text : text.substr(0, width);
}

// Appends byteCount bytes of value, most significant first, as hex digits.
void appendHexBytes(string& text, unsigned long long value, int byteCount)
{
    for (int i = byteCount - 1; i >= 0; i--) {
        string* byteText = Convert::byte2hex((unsigned char)(value >> (8 * i)));
        text += *byteText;
        delete byteText;
    }
}

}  // namespace

unsigned char Convert::safebyte(unsigned char x)
{
    return x < 32 ? '.' : x;
}

unsigned int Convert::getint32(unsigned char* buf, int loc)
{
    return ((unsigned int)buf[loc] << 24) | ((unsigned int)buf[loc + 1] << 16) |
           ((unsigned int)buf[loc + 2] << 8) | (unsigned int)buf[loc + 3];
}

void Convert::setint32(unsigned char* buf, int loc, unsigned long newval)
{
    for (int i = 0; i < 4; i++)
        buf[loc + i] = (unsigned char)(newval >> (8 * (3 - i)));
}

// Only the text a C routine would see is lowered; bytes after a NUL stay as they are.
void Convert::makelower(string* str)
{
    for (char& c : *str) {
        if (c == '\0')
            break;
        if (isUpperLetter(c))
            c += 32;
    }
}

string* Convert::tolower(string* str)
{
    string* lower = new string(*str);
    makelower(lower);
    return lower;
}

long Convert::hex2long(string hexstr)
{
    return strtol(hexstr.c_str(), nullptr, 16);
}

long Convert::str2long(string decstr)
{
    return strtol(decstr.c_str(), nullptr, 10);
}

double Convert::str2dbl(string decstr)
{
    return strtod(decstr.c_str(), nullptr);
}

unsigned char Convert::hex2byte(string hexstr)
{
    return (unsigned char)strtol(hexstr.c_str(), nullptr, 16);
}

// Whole-string comparison: anything that sorts between "0" and "9" counts.
bool Convert::isnibble(string x)
{
    return (x >= "0" && x <= "9") || (x >= "a" && x <= "f") || (x >= "A" && x <= "F");
}

string* Convert::readstring(unsigned char* orig, int offset, int len)
{
    string* result = new string();
    for (int i = 0; i < len && orig[offset + i] != '\0'; i++)
        result->push_back((char)orig[offset + i]);
    return result;
}

string* Convert::trim(string* strinput)
{
    string* trimmed = new string(*strinput);
    size_t first = trimmed->find_first_not_of(' ');
    if (first == string::npos) {
        trimmed->clear();
        return trimmed;
    }
    trimmed->erase(0, first);
    trimmed->erase(trimmed->find_last_not_of(' ') + 1);
    return trimmed;
}

// A longer text is cut only in the copy; a shorter one is padded in place.
string* Convert::padleft(string& strinput, int inlen, string strpad)
{
    int length = (int)strinput.length();
    if (length > inlen)
        return new string(firstChars(strinput, inlen));
    strinput = repeated(strpad, inlen - length) + strinput;
    return new string(strinput);
}

// Unlike padleft, both cutting and padding change the caller's text.
string* Convert::padright(string& strinput, int inlen, string strpad)
{
    int length = (int)strinput.length();
    if (length > inlen)
        strinput = firstChars(strinput, inlen);
    else
        strinput += repeated(strpad, inlen - length);
    return new string(strinput);
}

// Only the digits are written, so a negative value gives the digits of its magnitude.
string* Convert::int64tostr(long long x)
{
    unsigned long long rest = x < 0 ? 0ULL - (unsigned long long)x : (unsigned long long)x;
    if (rest == 0)
        return new string("0");
    string* digits = new string();
    while (rest != 0) {
        unsigned long long digit = rest % 10;
        digits->insert(0, DECIMAL_DIGITS, digit, 1);
        rest = (rest - digit) / 10;
    }
    return digits;
}

string* Convert::int32tostr(unsigned long x)
{
    return int64tostr((long long)(x & 0xFFFFFFFFUL));
}

string* Convert::int2str(int x)
{
    return int64tostr(x);
}

string* Convert::int2str(int x, unsigned int pad, string padchar)
{
    string* text = int64tostr(x);
    // An empty pad piece could never reach the width.
    if (pad >= 2 && !padchar.empty()) {
        while (text->length() < pad)
            text->insert(0, padchar);
    }
    return text;
}

string* Convert::byte2hex(unsigned char x)
{
    string* hex = new string();
    hex->push_back(HEX_DIGITS[x >> 4]);
    hex->push_back(HEX_DIGITS[x & 0x0F]);
    return hex;
}

string* Convert::int32tohex(unsigned long x)
{
    string* hex = new string();
    appendHexBytes(*hex, x, 4);
    return hex;
}

string* Convert::int64tohex(long long x)
{
    unsigned long long value = (unsigned long long)x;
    string* hex = new string();
    appendHexBytes(*hex, value >> 48, 2);
    *hex += ':';
    appendHexBytes(*hex, value >> 32, 2);
    *hex += '.';
    appendHexBytes(*hex, value >> 16, 2);
    *hex += ':';
    appendHexBytes(*hex, value, 2);
    return hex;
}
