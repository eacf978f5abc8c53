#include "misc/NameFold.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(NameFold, NamesEqualIgnoringCaseAndAccentCompositionFoldAlikeAndOthersDoNot) {
    // Composed (NFC) and decomposed (NFD, as HFS Plus and macOS write them) forms, upper and lower case.
    const std::string resumeComposed = "R\xc3\xa9sum\xc3\xa9.txt", resumeUpper = "R\xc3\x89SUM\xc3\x89.TXT",
                      resumeDecomposed = "Re\xcc\x81sume\xcc\x81.txt", resumeUpperDecomposed = "RE\xcc\x81SUME\xcc\x81.TXT";
    for (const auto& [a, b] : {std::pair<std::string, std::string>{"CARD.IMG", "card.img"},
                               {resumeComposed, resumeUpper},
                               {resumeComposed, resumeDecomposed},
                               {resumeUpper, resumeUpperDecomposed},
                               {"\xc5\xbd\x6c\x75\xc5\xa5ou\xc4\x8dk\xc3\xbd", "\xc5\xbe\x6c\x75\x74\xcc\x8cou\x63\xcc\x8c\x6b\x79\xcc\x81"},
                               {"\xc3\x86sir \xc3\x98re", "\xc3\xa6sir \xc3\xb8re"},  // Æ Ø have no decomposition
                               {"a\xff.img", "A\xff.img"}}) {  // a byte that is no UTF-8 stays, the rest folds
        SCOPED_TRACE(a + " / " + b);
        EXPECT_EQ(foldedName(a), foldedName(b));
    }
    for (const auto& [a, b] : {std::pair<std::string, std::string>{resumeComposed, "Resume.txt"},  // the accent counts
                               {"card.img", "card.img "},
                               {"\xce\x91.img", "\xce\xb1.img"},        // Greek: compared as it is
                               {"a\xff.img", "a\xfe.img"}}) {
        SCOPED_TRACE(a + " / " + b);
        EXPECT_NE(foldedName(a), foldedName(b));
    }
    EXPECT_EQ(foldedName("a\xff\xc3"), "a\xff\xc3") << "a cut sequence is kept, not read past";
    EXPECT_EQ(foldedName("\xc1\x81"), "\xc1\x81") << "an overlong A is no A";
    EXPECT_EQ(foldedName(""), "");
}

}  // namespace
}  // namespace vorn
