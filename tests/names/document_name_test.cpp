#include "names/document_name.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

TEST(DocumentFileName, FormatsUnsigned32BitFolderAndNumber) {
  const struct {
    DocumentNumber number;
    const char* name;
  } rows[] = {
      {0, "lum00000/lum00000"},
      {0x1234, "lum00012/lum01234"},
      {0xFFFFF, "lum00fff/lumfffff"},
      {0x100000, "lum01000/lum100000"},
      {-1, "lum00000/lumffffffff"},
      {-256, "lumffffffff/lumffffff00"},
      {0x7FFFFFFF, "lum7fffff/lum7fffffff"},
  };
  for (const auto& row : rows) EXPECT_EQ(DocumentFileName(row.number), row.name) << row.number;
}

TEST(ParseDocumentNumber, ReadsTheDiscNameAtTheEndOfAnAddress) {
  const struct {
    std::string address;
    DocumentNumber expected;
  } rows[] = {
      {"http://host/lum00012/lum01234.htm", 0x1234},
      {"http://host/a/b/LUM00012/Lum01234.HTM", 0x1234},
      {"http://host/lum00012/lum01234.htm?a=b/c.d", 0x1234},
      {"http://host/lum00012/lum01234.htm#top", 0x1234},
      {"http://host/lum00012/lum01234.htm;x=1/y.z", 0x1234},
      {"http://host\\lum00012\\lum01234.htm", 0x1234},
      {"http://host/lum00012\\lum01234.htm", 0x1234},
      {"http://host/xlum00012/lum01234.htm", 0x1234},  // the folder need not follow a separator
      {"http://host/lum00013/lum01234.htm", -1},       // folder does not match
      {"http://host/lum00012/lum1234.htm", -1},        // seven-character name
      {"http://host/lum00012/lum01234.htm.bak", -1},   // last '.' starts a second extension
      {"http://host.example/lum00012/lum01234", -1},   // last '.' lies before the name
      {"http://host/lum00012/lum01234", 0x1234},       // no '.' at all: name ends at the end
      {"http://host/lum00012/lumx1234.htm", -1},
      {"http://host/lummisc0/lum00001.htm", -1},
      {"http://host/lum00001/lum0x1ab.htm", 0x1AB},  // strtol takes the "0x"
      {"http://host/lum00000/lum-0002.htm", -2},     // and a sign
      {"http://host/lum00000/lum 0002.htm", 2},      // and leading white space
      {"http://host/lum00000/lum+0002.htm", 2},
      {"http://host/lum00000/lum000x0.htm", -1},  // "0x" only at the start
      {"http://host/lum00000/lum0000x.htm", -1},
      {"http://host/lum00000/lum   0x.htm", -1},   // "0x" with no digit reads only the "0"
      {"http://host/lum00000/lum     .htm", -1},   // no digits at all
      {"http://host/lum01000/lum100000.htm", -1},  // nine characters do not read back
      {"/lum01234.htm", -1},                       // fewer than nine before the name
      {"lum00012/lum01234.htm", 0x1234},           // exactly nine before the name
      {"um00012/lum01234.htm", -1},
      {"x/lum00012/lum01234.htm", 0x1234},
      {"http://host/page.htm", -1},
      {"lum01234.htm", -1},  // no separator
      {"", -1},
      {"http://host/lum00012/lum01234.htm?/lum00013/lum01300.htm", 0x1234},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParseDocumentNumber(row.address), row.expected) << row.address;
  }
}

TEST(ParseDocumentNumber, StopsAtAnEmbeddedNulAndNeverReadsPastTheView) {
  std::string withNul("http://host/lum00012/lum01234.htm\0/lum00013/lum01300.htm", 56);
  EXPECT_EQ(ParseDocumentNumber(withNul), 0x1234);
  // A view that ends inside a longer buffer: what lies beyond is not part of the address.
  std::string buffer = "http://host/lum00012/lum01234.htm/lum00013/lum01300.htm";
  EXPECT_EQ(ParseDocumentNumber(std::string_view(buffer).substr(0, 33)), 0x1234);
}

TEST(ParseDocumentNumber, ReadsBackEveryNameItWritesInTheValidRange) {
  for (DocumentNumber n = 0; n <= 0xFFFFF; n += 997) {
    EXPECT_EQ(ParseDocumentNumber("http://h/" + DocumentFileName(n) + ".htm"), n);
  }
  EXPECT_EQ(ParseDocumentNumber("http://h/" + DocumentFileName(0xFFFFF) + ".gif"), 0xFFFFF);
}

}  // namespace
}  // namespace quillon
