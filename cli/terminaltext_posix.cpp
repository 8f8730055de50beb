#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cstring>

#include "cli/terminaltext.h"

namespace terminaltext {

namespace {

// The codeset of the user's LC_CTYPE, read without changing the program's
// own locale; "ANSI_X3.4-1968" (ASCII) when the locale names none or is not
// installed.
std::string userCodeset() {
    const locale_t user = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0)) {
        return "ANSI_X3.4-1968";
    }
    const std::string codeset = ::nl_langinfo_l(CODESET, user);
    ::freelocale(user);
    return codeset;
}

}  // namespace

bool convert(const char* japanese, std::string& shown) {
    static const std::string codeset = userCodeset();
    if (::strcasecmp(codeset.c_str(), "UTF-8") == 0 || ::strcasecmp(codeset.c_str(), "utf8") == 0) {
        shown = japanese;
        return true;
    }
    // Without //TRANSLIT: a character the codeset lacks fails the whole text.
    const iconv_t cd = ::iconv_open(codeset.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::string in = japanese;
    std::string out(in.size() * 2 + 16, '\0');
    char* source = &in[0];
    char* target = &out[0];
    size_t left = in.size(), room = out.size();
    const bool whole = ::iconv(cd, &source, &left, &target, &room) != static_cast<size_t>(-1) &&
                       ::iconv(cd, nullptr, nullptr, &target, &room) != static_cast<size_t>(-1);
    ::iconv_close(cd);
    if (!whole) {
        return false;
    }
    out.resize(out.size() - room);
    shown = out;
    return true;
}

}  // namespace terminaltext
