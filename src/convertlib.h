#ifndef CONVERTLIB_H
#define CONVERTLIB_H

#include <string>

using std::string;

// Stateless conversions between numbers and text. Every routine that returns a
// string* hands a new string to the caller, who deletes it.
class Convert {
public:
    static unsigned char safebyte(unsigned char x);
    static unsigned int getint32(unsigned char* buf, int loc);
    static void setint32(unsigned char* buf, int loc, unsigned long newval);
    static void makelower(string* str);
    static string* tolower(string* str);
    static long hex2long(string hexstr);
    static long str2long(string decstr);
    static double str2dbl(string decstr);
    static unsigned char hex2byte(string hexstr);
    static bool isnibble(string x);
    static string* readstring(unsigned char* orig, int offset, int len);
    static string* trim(string* strinput);
    static string* padleft(string& strinput, int inlen, string strpad);
    static string* padright(string& strinput, int inlen, string strpad);
    static string* int64tostr(long long x);
    static string* int32tostr(unsigned long x);
    static string* int2str(int x);
    static string* int2str(int x, unsigned int pad, string padchar);
    static string* byte2hex(unsigned char x);
    static string* int32tohex(unsigned long x);
    static string* int64tohex(long long x);
};

#endif
