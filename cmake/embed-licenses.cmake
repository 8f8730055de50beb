# Writes a C++ source that defines licenseText() from the licence text file.
#   cmake -DINPUT=licenses.txt -DOUTPUT=licensetext_data.cpp -P embed-licenses.cmake
file(READ "${INPUT}" text)
# A checkout with CRLF line ends must not change the text the program shows.
string(REPLACE "\r" "" text "${text}")
string(FIND "${text}" ")QLTEXT\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string delimiter )QLTEXT\"")
endif()
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; edit that file instead.
#include \"app/licensetext.h\"

namespace {

constexpr char kText[] = R\"QLTEXT(${text})QLTEXT\";

}  // namespace

static_assert(preparedLength(kText) < kLicenseTextCapacity,
              \"the prepared licence text needs a larger kLicenseTextCapacity\");

const char* licenseText() {
    return kText;
}
")
