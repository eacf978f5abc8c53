// Reading the words of the command-line front end and laying out its tree
// and table dumps. Free functions without state, so that each rule can be
// tested on its own.
//
// Numbers in command words are read as C's atoi reads them (leading blanks,
// an optional sign, then digits up to the first other character; text that is
// no number gives 0), but into 64 bits and saturated instead of overflowing,
// so that a range check afterwards sees a value that is too large as too
// large.
#pragma once

#include <string>
#include <vector>

#include "misc/Types.h"
#include "misc/Utils.h"

namespace vorn {

// The decimal number at the start of the word, atoi style; saturates at the
// limits of long long.
long long parseNumberWord(const std::string& word);

// A table or child index: true with the index when it is at least 0 and
// below count.
bool parseIndexWord(const std::string& word, u32 count, u32& index);

// A block number: false when the word reads as a negative number.
bool parseBlockWord(const std::string& word, u64& block);

// "first-last": false when the word holds no "-" or a part reads as negative.
bool parseBlockRange(const std::string& word, u64& first, u64& last);

// "0.1.2": the indexes of a tree path, each read atoi style. False for an
// empty path and for an empty component (a leading dot or two dots in a
// row); one trailing dot is ignored.
bool parseTreePath(const std::string& path, std::vector<long long>& indexes);

// Parity rotation code of a parity word ("forward" 0 ... "backwarddelay" 6);
// -1 for any other word ("auto" included).
int parityRotationOfWord(const std::string& word);

// The words of an input line, split at white space.
std::vector<std::string> splitWords(const std::string& line);

// "~" and "~/..." with the home folder in front (a shell does this for words
// on the command line, but not for words typed at the prompt).
std::string expandHome(const std::string& path);

// One line of the tree dump: two blanks per depth level, "+-[path]- text"
// and the line end; the text is escaped.
std::string treeDumpLine(u32 depth, const std::string& path, const std::string& text);

// One line of the table dump: "[row]  " and the cells, each escaped and cut
// or padded to its column's width (name 25, size 8 right-aligned, type 8,
// date 20, id 8 right-aligned, further columns 8), two blanks after each,
// and the line end. The header row is row -1.
std::string tableDumpLine(int row, const std::vector<std::string>& cells);

}  // namespace vorn
