#include "toolkit/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

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

enum class ReadResult : uint8_t { Read, TooLarge, Unreadable };

// Reads a regular file whole, but never more than kMaxFileSize bytes (plus one to
// see that there are more): a file that grows while it is read is caught too.
ReadResult readAtMost(int fd, std::string& out) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return ReadResult::Unreadable;
    }
    if (info.st_size > static_cast<off_t>(kMaxFileSize)) {
        return ReadResult::TooLarge;
    }
    char buffer[8192];
    for (;;) {
        const size_t wanted = std::min(sizeof buffer, kMaxFileSize + 1 - out.size());
        const ssize_t got = ::read(fd, buffer, wanted);
        if (got > 0) {
            out.append(buffer, static_cast<size_t>(got));
            if (out.size() > kMaxFileSize) {
                return ReadResult::TooLarge;
            }
        } else if (got == 0) {
            return ReadResult::Read;
        } else if (errno != EINTR) {
            return ReadResult::Unreadable;
        }
    }
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put > 0) {
            bytes.remove_prefix(static_cast<size_t>(put));
        } else if (put < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a name finally refers to, following symbolic links (also one whose
// target does not exist yet), so that a save replaces the target and keeps the link.
std::string resolveLinks(const std::string& fileName) {
    std::string path = fileName;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return path;
        }
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) {
            return path;
        }
        target.resize(static_cast<size_t>(length));
        path = target.front() == '/' ? target : directoryOf(path) + target;
    }
    return path;
}

// Calls `make` with names beside `target` that no file has yet
// ("<target>.tmp-<process>-<count>") until one is free; false when `make` fails
// for another reason (errno tells which) or no free name turns up.
template <typename Make>
bool underUniqueName(const std::string& target, std::string& name, const Make& make) {
    static unsigned count = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
        if (make(name.c_str())) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    name.clear();
    return false;
}

// Writes `bytes` over the start of the file and cuts it to their length. Only for
// a file whose directory we may not write to, so that no new file can be made
// beside it: a crash half-way leaves a mix of old and new text.
bool rewriteInPlace(const std::string& target, std::string_view bytes) {
    const int fd =
        ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && writeAll(fd, bytes) &&
              ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

// Replaces the file by one holding `bytes` (see the class comment): a temporary
// beside it, flushed, given the old file's permissions and owner, named only now,
// renamed over the old file, and the directory flushed. On any failure the old
// file is untouched and the temporary gone.
bool saveFile(const std::string& fileName, std::string_view bytes) {
    const std::string target = resolveLinks(fileName);
    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (existed ? !S_ISREG(old.st_mode) : errno != ENOENT) {
        return false;
    }
    // A new file gets the usual mode less the umask; a replacement starts private
    // and takes the old mode once its owner is set.
    const mode_t mode = existed ? 0600 : 0666;
    const std::string directoryName = directoryOf(target);
    const char* directory = directoryName.empty() ? "." : directoryName.c_str();
    std::string name;  // the temporary's name, once it has one
    int fd = ::open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0) {
        underUniqueName(target, name, [&](const char* path) {
            fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            return fd >= 0;
        });
    }
    if (fd < 0) {
        // A directory we may not write to: the file itself may still be writable.
        const bool refused = errno == EACCES || errno == EPERM || errno == EROFS;
        return existed && refused && rewriteInPlace(target, bytes);
    }
    bool ok = writeAll(fd, bytes);
    if (ok && existed) {
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            // Only root may give the file away; a member of its group may keep the group.
            if (::fchown(fd, old.st_uid, old.st_gid) != 0 &&
                ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
                // the file keeps our owner and group
            }
        }
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (ok && name.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        ok = underUniqueName(target, name, [&](const char* path) {
            return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
        });
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(name.c_str(), target.c_str()) == 0;
    if (!ok) {
        if (!name.empty()) {
            ::unlink(name.c_str());
        }
        return false;
    }
    const int directoryFd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
    return true;
}

}  // namespace

SettingsFile::~SettingsFile() {
    close();
}

bool SettingsFile::open(const std::string& fileName) {
    close();
    fileName_ = fileName;
    // Read-write when we may replace the file; read-only when refused (permissions,
    // a read-only file system): such a file is read but never written.
    constexpr int kFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    State access = State::ReadWrite;
    int fd = ::open(fileName.c_str(), O_RDWR | kFlags);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY)) {
        access = State::ReadOnly;
        fd = ::open(fileName.c_str(), O_RDONLY | kFlags);
    }
    if (fd < 0) {
        // Only a file that is not there is created by close; one that is there but
        // cannot be read is never replaced.
        state_ = errno == ENOENT ? State::Missing : State::Unusable;
        return false;
    }
    std::string bytes;
    const ReadResult read = readAtMost(fd, bytes);
    ::close(fd);
    if (read == ReadResult::TooLarge && !toldTooLarge_) {
        // Once: the program opens the file several times in a run.
        toldTooLarge_ = true;
        std::fprintf(stderr,
                     "glowtern: not reading %s: larger than 1 MiB, too large for settings; "
                     "using the defaults\n",
                     fileName.c_str());
    }
    if (read != ReadResult::Read) {
        state_ = State::Unusable;
        return false;
    }
    state_ = access;
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
        saveFile(fileName_, renderText(entries_, utf8_));
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
