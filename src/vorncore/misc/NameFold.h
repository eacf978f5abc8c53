// File names compared as a case-insensitive file system compares them: a
// FAT volume behind FUSE, or a case-folding folder, finds "card.img" under
// "CARD.IMG", and a name typed with a composed "é" under one stored with
// "e" and a combining accent.
//
// Kept small and free of dependencies: ASCII letters are folded to lower
// case, and the accented Latin letters of Latin-1 and Latin Extended-A are
// decomposed into their base letter (folded) and combining mark. Other
// characters, and bytes that are no valid UTF-8, are compared as they are.
#pragma once

#include <string>

namespace vorn {

// The name in a form in which two names equal ignoring case and the
// composition of accented letters are equal.
std::string foldedName(const std::string& utf8);

}  // namespace vorn
