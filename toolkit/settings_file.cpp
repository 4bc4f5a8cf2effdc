#include "toolkit/settings_file.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "toolkit/settings_storage.h"

namespace glowtern {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";
// The program's 43 short lines take about 500 bytes. A file far larger is some
// other file or the work of a runaway script; reading and rewriting it would cost
// seconds and gigabytes.
constexpr size_t kMaxFileSize = size_t{1} << 20;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimLeft(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i])) {
        ++i;
    }
    return s.substr(i);
}

std::string_view trimRight(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && isBlank(s[n - 1])) {
        --n;
    }
    return s.substr(0, n);
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

bool hasLineEnd(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// A key that reads back from the file as the same key entry.
bool isStorableKey(std::string_view key) {
    return !key.empty() && key.find_first_of("=\r\n") == std::string_view::npos &&
           key.front() != ';' && key.front() != '[' && !isBlank(key.front()) &&
           !isBlank(key.back());
}

// UTF-8 to single-byte text: code points up to U+00FF keep their value, anything
// beyond, and every byte of a malformed sequence, becomes "?".
std::string fromUtf8(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const auto lead = static_cast<unsigned char>(in[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t codePoint = 0;
        uint32_t smallest = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, codePoint = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, codePoint = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, codePoint = lead & 0x07, smallest = 0x10000;
        }
        bool valid = length != 0 && i + length <= in.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(in[i + k]);
            valid = (next & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        valid = valid && codePoint >= smallest && codePoint <= 0x10FFFF &&
                (codePoint < 0xD800 || codePoint > 0xDFFF);
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        out += codePoint <= 0xFF ? static_cast<char>(codePoint) : '?';
        i += length;
    }
    return out;
}

std::string toUtf8(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (char c : in) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

void parseLine(std::string_view line, std::vector<SettingsEntry>& entries) {
    line = trimLeft(line);
    if (line.empty()) {
        return;
    }
    SettingsEntry entry;
    if (line.front() == ';') {
        line.remove_prefix(1);
        if (!line.empty() && line.front() == ' ') {
            line.remove_prefix(1);
        }
        entry.kind = SettingsEntryKind::Comment;
        entry.text = line;
    } else if (line.front() == '[') {
        line.remove_prefix(1);
        entry.kind = SettingsEntryKind::Group;
        entry.text = line.substr(0, line.find(']'));
    } else if (const size_t equals = line.find('='); equals != std::string_view::npos) {
        entry.kind = SettingsEntryKind::Key;
        entry.text = trimRight(line.substr(0, equals));
        entry.value = trimRight(trimLeft(line.substr(equals + 1)));
    } else {
        entry.kind = SettingsEntryKind::Line;
        entry.text = line;
    }
    entries.push_back(std::move(entry));
}

std::vector<SettingsEntry> parseText(std::string_view text) {
    std::vector<SettingsEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        parseLine(text.substr(pos, end - pos), entries);
        pos = end;
        if (pos < text.size()) {
            const bool crlf = text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n';
            pos += crlf ? 2 : 1;
        }
    }
    return entries;
}

std::string renderText(const std::vector<SettingsEntry>& entries, bool utf8) {
    std::string body;
    for (const SettingsEntry& entry : entries) {
        switch (entry.kind) {
            case SettingsEntryKind::Key:
                body.append(entry.text).append(" = ").append(entry.value);
                break;
            case SettingsEntryKind::Comment:
                body.append("; ").append(entry.text);
                break;
            case SettingsEntryKind::Group:
                body.append("[").append(entry.text).append("]");
                break;
            case SettingsEntryKind::Line:
                body.append(entry.text);
                break;
        }
        body.append(kLineEnd);
    }
    if (utf8) {
        return std::string(kByteOrderMark).append(kLineEnd).append(toUtf8(body));
    }
    // Single-byte text that happens to begin with the mark's three bytes would be
    // taken as UTF-8 when read again; an empty first line keeps it single-byte.
    if (body.starts_with(kByteOrderMark)) {
        body.insert(0, kLineEnd);
    }
    return body;
}

}  // namespace

SettingsFile::~SettingsFile() {
    close();
}

bool SettingsFile::open(const std::string& fileName) {
    close();
    fileName_ = fileName;
    std::string bytes;
    const StoredFileAccess found = ReadStoredFile(fileName, kMaxFileSize, bytes);
    if (found == StoredFileAccess::TooLarge && !toldTooLarge_) {
        // Once: the program opens the file several times in a run.
        toldTooLarge_ = true;
        std::fprintf(stderr,
                     "glowtern: not reading %s: larger than 1 MiB, too large for settings; "
                     "using the defaults\n",
                     fileName.c_str());
    }
    switch (found) {
        case StoredFileAccess::ReadWrite:
            state_ = State::ReadWrite;
            break;
        case StoredFileAccess::ReadOnly:
            state_ = State::ReadOnly;
            break;
        case StoredFileAccess::Missing:
            state_ = State::Missing;
            return false;
        case StoredFileAccess::Unusable:
        case StoredFileAccess::TooLarge:
            state_ = State::Unusable;
            return false;
    }
    std::string_view text = bytes;
    if (text.starts_with(kByteOrderMark)) {
        utf8_ = true;
        entries_ = parseText(fromUtf8(text.substr(kByteOrderMark.size())));
    } else {
        entries_ = parseText(text);
    }
    return true;
}

const SettingsEntry* SettingsFile::find(std::string_view key) const {
    if (key.empty()) {
        return nullptr;
    }
    for (const SettingsEntry& entry : entries_) {
        if (entry.kind == SettingsEntryKind::Group) {
            break;
        }
        if (entry.kind == SettingsEntryKind::Key && equalsIgnoringCase(entry.text, key)) {
            return &entry;
        }
    }
    return nullptr;
}

std::string SettingsFile::readString(std::string_view key, std::string_view defaultText) const {
    const SettingsEntry* entry = find(key);
    return std::string(entry != nullptr ? std::string_view(entry->value) : defaultText);
}

void SettingsFile::writeString(std::string_view key, std::string_view valueText) {
    if (state_ == State::Closed || !isStorableKey(key) || hasLineEnd(valueText)) {
        return;
    }
    modified_ = true;
    if (const SettingsEntry* found = find(key); found != nullptr) {
        auto& entry = entries_[static_cast<size_t>(found - entries_.data())];
        entry.text = key;
        entry.value = valueText;
        return;
    }
    auto position = entries_.begin();
    while (position != entries_.end() && position->kind != SettingsEntryKind::Group) {
        ++position;
    }
    entries_.insert(
        position, SettingsEntry{SettingsEntryKind::Key, std::string(key), std::string(valueText)});
}

void SettingsFile::close() {
    if (modified_ && (state_ == State::ReadWrite || state_ == State::Missing)) {
        ReplaceStoredFile(fileName_, renderText(entries_, utf8_));
    }
    fileName_.clear();
    entries_.clear();
    state_ = State::Closed;
    modified_ = false;
    utf8_ = false;
}

int32_t toNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == '%')) {
        base = text[i] == '$' ? 16 : 2;
        ++i;
    }
    // Accumulated like a 32-bit register: too many digits wrap around, so
    // "$FFFFFFFF" is -1 and "4294967296" is 0.
    uint32_t result = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        uint32_t digit = base;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        }
        if (digit >= base) {
            break;
        }
        result = result * base + digit;
    }
    if (negative) {
        result = 0u - result;
    }
    return static_cast<int32_t>(result);
}

std::string toText(int32_t number) {
    char buffer[16];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
    return std::string(buffer, end);
}

}  // namespace glowtern
