#include "platform/SysfsParsers.h"

#include <cctype>
#include <limits>

namespace vorn {

namespace {

// Calls fn(line) for each line of text (without the line end).
template <typename Fn>
void forEachLine(const std::string& text, Fn fn) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        size_t len = end - pos;
        if (len > 0 && text[pos + len - 1] == '\r') --len;
        fn(text.substr(pos, len));
        pos = end + 1;
    }
}

std::vector<std::string> splitBlanks(const std::string& line) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos >= line.size()) break;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void addKeyValue(const std::string& line, std::map<std::string, std::string>& out) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) return;
    out[line.substr(0, eq)] = line.substr(eq + 1);
}

}  // namespace

std::vector<MountEntry> parseMountInfo(const std::string& text) {
    std::vector<MountEntry> entries;
    forEachLine(text, [&](const std::string& line) {
        if (entries.size() >= kMaxMountEntries) return;
        std::vector<std::string> f = splitBlanks(line);
        if (f.size() < 6) return;
        size_t sep = 6;
        while (sep < f.size() && f[sep] != "-") ++sep;
        // The separator must be followed by the type and the source.
        if (sep >= f.size() || f.size() - sep < 3) return;
        MountEntry e;
        if (!parseMajorMinor(f[2], e.major, e.minor)) return;
        e.root = decodeMountEscapes(f[3]);
        e.mountPoint = decodeMountEscapes(f[4]);
        e.fsType = decodeMountEscapes(f[sep + 1]);
        e.source = decodeMountEscapes(f[sep + 2]);
        if (f.size() - sep > 3) e.superOptions = f[sep + 3];
        entries.push_back(std::move(e));
    });
    return entries;
}

std::vector<std::string> overlayFolders(const std::string& superOptions) {
    std::vector<std::string> upper, lower;
    size_t pos = 0;
    while (pos <= superOptions.size() && upper.size() + lower.size() < kMaxOverlayFolders) {
        size_t end = superOptions.find(',', pos);
        if (end == std::string::npos) end = superOptions.size();
        const std::string option = superOptions.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = option.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = option.substr(0, eq), value = decodeMountEscapes(option.substr(eq + 1));
        const bool isUpper = key == "upperdir";
        if (!isUpper && key != "lowerdir" && key != "lowerdir+" && key != "datadir+") continue;
        // The names as given at mount: a backslash takes the next character
        // as it is (a ",", a ":" or a backslash in a name); in a list of
        // lower folders ":" separates them ("::" the data-only ones).
        std::string folder;
        for (size_t i = 0; i <= value.size() && upper.size() + lower.size() < kMaxOverlayFolders; ++i) {
            if (i == value.size() || (value[i] == ':' && !isUpper)) {
                if (!folder.empty()) (isUpper ? upper : lower).push_back(folder);
                folder.clear();
            } else if (value[i] == '\\' && i + 1 < value.size()) {
                folder.push_back(value[++i]);
            } else {
                folder.push_back(value[i]);
            }
        }
    }
    upper.insert(upper.end(), lower.begin(), lower.end());
    return upper;
}

std::map<std::string, std::string> parseUevent(const std::string& text) {
    std::map<std::string, std::string> out;
    forEachLine(text, [&](const std::string& line) { addKeyValue(line, out); });
    return out;
}

std::map<std::string, std::string> parseUdevData(const std::string& text) {
    std::map<std::string, std::string> out;
    forEachLine(text, [&](const std::string& line) {
        if (line.size() > 2 && line[0] == 'E' && line[1] == ':') addKeyValue(line.substr(2), out);
    });
    return out;
}

std::string decodeUdevEscapes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            int hi = hexValue(text[i + 2]);
            int lo = hexValue(text[i + 3]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string decodeMountEscapes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const char a = text[i + 1], b = text[i + 2], c = text[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string cleanDisplayText(const std::string& text, size_t maxBytes) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) continue;
        out.push_back(static_cast<char>(c));
    }
    size_t b = out.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    size_t e = out.find_last_not_of(' ');
    out = out.substr(b, e - b + 1);
    if (out.size() > maxBytes) {
        size_t cut = maxBytes;
        // Step back over continuation bytes so no UTF-8 sequence is split.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
        size_t last = out.find_last_not_of(' ');
        out.resize(last == std::string::npos ? 0 : last + 1);
    }
    return out;
}

std::string deviceNodeName(const std::string& kernelName, const std::map<std::string, std::string>& uevent) {
    auto it = uevent.find("DEVNAME");
    if (it != uevent.end()) {
        const std::string& n = it->second;
        bool ok = !n.empty() && n.size() < 128 && n[0] != '/' && n.find("..") == std::string::npos;
        for (unsigned char c : n) {
            if (!(isalnum(c) || c == '_' || c == '-' || c == '.' || c == '/' || c == ':' || c == '+')) ok = false;
        }
        if (ok) return n;
    }
    std::string n = kernelName;
    for (char& c : n) {
        if (c == '!') c = '/';
    }
    return n;
}

bool parseDecimal(const std::string& text, u64& value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
    size_t digits = 0;
    u64 v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        const u64 d = static_cast<u64>(text[i] - '0');
        if (v > (std::numeric_limits<u64>::max() - d) / 10) return false;
        v = v * 10 + d;
    }
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    if (digits == 0 || i != text.size()) return false;
    value = v;
    return true;
}

bool parseMajorMinor(const std::string& text, u32& major, u32& minor) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    u64 a = 0, b = 0;
    if (!parseDecimal(text.substr(0, colon), a) || !parseDecimal(text.substr(colon + 1), b)) return false;
    if (a > 0xFFFFFFFFull || b > 0xFFFFFFFFull) return false;
    major = static_cast<u32>(a);
    minor = static_cast<u32>(b);
    return true;
}

}  // namespace vorn
