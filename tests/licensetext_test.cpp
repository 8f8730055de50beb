#include "app/licensetext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string prepare(const char* source, size_t size) {
    std::vector<char> buffer(size + 8, '#');
    const size_t used = prepareLicenseText(buffer.data(), size, source);
    for (size_t i = size; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], '#') << "written past the end at " << i << " of " << size;
    }
    if (size == 0) {
        EXPECT_EQ(used, 0u);
        return std::string();
    }
    EXPECT_EQ(buffer[used], '\0');
    return std::string(buffer.data(), used);
}

// The lines of a prepared text, split at CR LF.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        out.push_back(text.substr(start, end - start));
    }
    out.push_back(text.substr(start));
    return out;
}

TEST(PrepareLicenseText, CutsOnlyBetweenPiecesAndKeepsRoomForTheNul) {
    const char source[] = "ab\n\nc";
    const std::string whole = "\r\n ab\r\n \r\n c";
    // Lengths at which the prepared text may end: never inside a line break.
    const std::vector<size_t> ends = {0, 3, 4, 5, 8, 11, 12};
    for (size_t size = 0; size <= whole.size() + 2; ++size) {
        size_t expected = 0;
        for (size_t end : ends) {
            if (end + 1 <= size) {
                expected = end;
            }
        }
        EXPECT_EQ(prepare(source, size), whole.substr(0, expected)) << "size " << size;
    }
    EXPECT_EQ(preparedLength(source), whole.size());
}

TEST(PrepareLicenseText, EmptySourceGivesOneEmptyLine) {
    EXPECT_EQ(prepare("", 64), "\r\n ");
}

class LicenseText : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<char> buffer(kLicenseTextCapacity);
        prepared.assign(buffer.data(),
                        prepareLicenseText(buffer.data(), buffer.size(), licenseText()));
    }
    std::string prepared;
};

TEST_F(LicenseText, FitsWholeInTheWindowBuffer) {
    EXPECT_EQ(prepared.size(), preparedLength(licenseText()));
    EXPECT_LT(prepared.size(), kLicenseTextCapacity);
}

TEST_F(LicenseText, ShowsAnEmptyFirstLineAndIndentsEveryOther) {
    const std::vector<std::string> shown = lines(prepared);
    ASSERT_GT(shown.size(), 300u);
    EXPECT_EQ(shown.front(), "");
    for (size_t i = 1; i < shown.size(); ++i) {
        ASSERT_FALSE(shown[i].empty()) << "line " << i;
        EXPECT_EQ(shown[i][0], ' ') << "line " << i;
        for (char c : shown[i]) {
            ASSERT_TRUE(c >= 0x20 && c <= 0x7e) << "line " << i << ": " << shown[i];
        }
    }
    // The source ends with a line break, so the last shown line is just the indent.
    EXPECT_EQ(shown.back(), " ");
}

TEST_F(LicenseText, HoldsTheThreeLicencesInOrderEachToItsLastLine) {
    const std::vector<std::string> shown = lines(prepared);
    std::vector<std::string> titles;
    for (size_t i = 1; i + 1 < shown.size(); ++i) {
        if (shown[i] == " ---") {
            titles.push_back(shown[i + 1]);
        }
    }
    EXPECT_EQ(shown[1], " MinGW-w64 runtime");
    EXPECT_EQ(titles, (std::vector<std::string>{" zlib", " OpenSSL"}));

    // Whole source lines, in this order: the end of the runtime block, the
    // end of zlib's, the start and the end of the Apache licence.
    const char* const inOrder[] = {
        "POSSIBILITY OF SUCH DAMAGE.",
        "jloup@gzip.org          madler@alumni.caltech.edu",
        "                                 Apache License",
        "   END OF TERMS AND CONDITIONS",
    };
    size_t from = 0;
    for (const char* line : inOrder) {
        const size_t at = prepared.find(std::string("\r\n ") + line + "\r\n", from);
        ASSERT_NE(at, std::string::npos) << line;
        from = at + 1;
    }
    const std::string end = "\r\n    END OF TERMS AND CONDITIONS\r\n ";
    ASSERT_GE(prepared.size(), end.size());
    EXPECT_EQ(prepared.substr(prepared.size() - end.size()), end);
}

}  // namespace
