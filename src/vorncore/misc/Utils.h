// Free helpers shared by the whole engine: text on UTF-8 byte strings,
// UTF-16 and wide conversions, file-system dates, sizes in units of 1024,
// hexadecimal parsing and dumping, file queries and byte entropy.
// Functions return new strings and leave their arguments unchanged.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {

// ---- text
std::string substringBefore(const std::string& text, const std::string& delimiter);
bool startsWith(const std::string& text, const std::string& prefix);
bool endsWith(const std::string& text, const std::string& suffix);
// Replaces every occurrence in one left-to-right pass; an empty `what`
// leaves the text unchanged.
std::string replaceAll(const std::string& text, const std::string& what, const std::string& with);
std::string trim(const std::string& text);
std::string trimLeft(const std::string& text);
std::string trimRight(const std::string& text);
std::string toUpper(const std::string& text);
std::string toLower(const std::string& text);
bool equalsIgnoreCase(const std::string& a, const std::string& b);
int toInt(const std::string& text);
std::string toString(int value);
std::string toString(bool value);
std::string toString(char fill, int width);
std::string repeat(const std::string& text, int n);
std::string join(const std::vector<std::string>& parts, const std::string& separator);
// Empty pieces inside are kept; a final empty piece (text ending in the
// delimiter, or an empty text) is not. An empty delimiter gives the whole
// text as one piece.
std::vector<std::string> split(const std::string& text, const std::string& delimiter);
std::vector<std::string> tokenize(const std::string& text, const std::string& delimiters = " \t\n\r");

// printf-style formatting; the result comes back whole whatever its length.
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

class StringTokenizer {
public:
    explicit StringTokenizer(const std::string& text, const std::string& delimiters = " \t\n\r");
    bool nextToken();
    bool nextToken(const std::string& delimiters);
    const std::string& getToken() const { return token; }

private:
    u32 pos = 0;
    std::string text;
    std::string token;
    std::string delimiters;
};

// ---- file paths (separator "/")
// The last piece of split(path, "/"): "y" for "/x/y/".
std::string getFileName(const std::string& path);
// The last piece of split(path, ".") over the whole path: "b/c" for "/a.b/c",
// the whole path when it has no dot.
std::string getFileExtension(const std::string& path);
// The path without its last piece (the one getFileName answers), the "/"
// before that piece kept: "/a/b/" for "/a/b/c.txt" and for "/a/b/c/".
std::string getDirectory(const std::string& path);
// The absolute path with every link and ".." resolved (realpath); empty when
// the path cannot be resolved.
std::string realPath(const std::string& path);

// ---- Unicode
// Each malformed or unfinished sequence becomes one "?"; overlong forms pass.
std::wstring utf8ToWide(const std::string& text);
// Surrogate pairs are joined; lone surrogates are written as they are; units
// beyond 21 bits become "?".
std::string wideToUtf8(const std::wstring& text);
// Reads units until a 0 unit, maxUnits units, or a unit that would not lie
// wholly inside maxBytes; `units` need not be aligned. swapBytes: big-endian.
std::string utf16ToUtf8(const u16* units, int maxUnits, int maxBytes, bool swapBytes);
// An HFS Plus name: a big-endian length unit, then big-endian characters.
// maxBytes counts from uniStr, the length unit included.
std::string hfsUniStrToUtf8(const u16* uniStr, int maxBytes);
// Appends the code point in UTF-8 (one to four bytes); one above 21 bits
// becomes "?".
void appendUtf8(std::string& out, u32 cp);

// ---- time
u32 hfsTimeToUnix(u32 seconds);
time_t toTimeLocal(int day, int month, int year, int hour, int minute, int second);
time_t toTimeNoDst(int day, int month, int year, int hour, int minute, int second);
std::string timeToString(time_t time);

// ---- sizes
// Divides by 1024 at most four times; unit ' ', 'K', 'M', 'G' or 'T'.
void scaleSize(double& value, char& unit);
// "%.2f %c" of the scaled value: "512.00  ", "1.50 K".
std::string sizeToString(u64 bytes);

// ---- hexadecimal
i8 parseHexByte(char high, char low);
u32 parseHex(const u8* text, int length);
std::string toHexString(u32 value, int digits);
const u8* findBytes(const u8* data, const u8* pattern, u32 dataLength, u32 patternLength);
// Writes to standard output, bypassing the logger.
void hexdump(const char* title, const void* data, int length);

// ---- files
bool fileExists(const std::string& path);
// True when anything is at path, a link that leads nowhere too (lstat).
bool entryExists(const std::string& path);
bool makeDir(const std::string& path);
bool isDirectory(const std::string& path);

// ---- escaping for display
// Length of the valid UTF-8 sequence at text[i] (2 to 4), or 0 when the
// bytes there are no valid sequence (stray continuation, overlong form,
// surrogate, beyond U+10FFFF, cut short). Stores the code point.
size_t utf8SequenceAt(const std::string& text, size_t i, u32& codePoint);
// A text from a disk as it may be shown on a terminal or in a window: control
// characters (C0, DEL and the C1 range), bidirectional controls (U+061C,
// U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) and bytes that are not
// valid UTF-8 become "\xNN" per byte; everything else is kept.
std::string escapeControlChars(const std::string& text);
// The same for a whole log line: line ends and tabs are kept.
std::string escapeLogLine(const std::string& text);

// ---- entropy
// Approximate log2 for x > 0, exact at powers of two.
float fastLog2(float x);
// Byte entropy scaled to 0..1 (8 bits per byte give 1); 0 for no bytes.
float entropy(const u8* data, u64 size);

}  // namespace vorn
