#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace glowtern {

enum class SettingsEntryKind : uint8_t {
    Key,      // key = value
    Comment,  // "; " comment text
    Group,    // [group name]
    Line,     // hand-written text without "=": kept as it was, never looked up
};

struct SettingsEntry {
    SettingsEntryKind kind = SettingsEntryKind::Key;
    std::string text;   // the key, the comment text, the group name or the whole line
    std::string value;  // key entries only

    bool operator==(const SettingsEntry&) const = default;
};

// The key/value text file behind "setting.dat". The whole file is read into an
// entry list at open; writes change the list; close writes the list back when
// anything was written. Text is single-byte; a UTF-8 file (with byte-order mark)
// is converted on the way in and out. Main thread only.
//
// A file larger than 1 MiB is no settings file (the program's take ~500 bytes):
// it is not read, the program runs with its defaults, the file is never written,
// and the first such open of a store object tells why on standard error.
//
// Saving normally never rewrites the file in place: the new text goes to a new,
// unnamed file (O_TMPFILE) in the same directory, is flushed to disk, linked under
// a unique name and renamed over the old one (on Windows: a temporary beside it,
// flushed, then ReplaceFileW), so a crash or power cut leaves either the old or the
// new file, never a truncated one, and at most one temporary. Where the file system
// has no unnamed files the new file is made under a unique name from the start. Only when the
// directory refuses new files (no write permission, read-only) is a writable file rewritten in
// place instead, so the settings are still kept; such a save is not crash-safe. A symbolic link is
// kept and its target replaced; the file keeps its mode, owner and group.
class SettingsFile {
  public:
    SettingsFile() = default;
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;
    ~SettingsFile();

    // True when the file exists and was read. A missing file gives false but its
    // name is kept, so that the next close after a write creates it; a file that is
    // there but unusable (unreadable, not a regular file, too large) gives false and
    // is never written. An open file is closed first.
    bool open(const std::string& fileName);
    // The value of the first key entry of the top section (before the first
    // group header) whose key matches without regard to ASCII case; else defaultText.
    std::string readString(std::string_view key, std::string_view defaultText) const;
    // Whether readString would find `key`.
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Sets the first matching entry's value and its key spelling, or appends a new
    // entry at the end of the top section. Ignored when no file is open, and for a
    // key or value that would not read back as the same entry: an empty key, a key
    // with "=", leading or trailing blanks or starting with ";" or "[", a line end
    // in either.
    void writeString(std::string_view key, std::string_view valueText);
    // Writes the file back when something was written and the file may be written;
    // then forgets it. Failures are silent and leave the old file as it was, but
    // for an in-place rewrite cut short.
    void close();
    bool isOpen() const { return state_ != State::Closed; }

    // The entry list as read and written so far (used by tests and the fuzzer).
    const std::vector<SettingsEntry>& entries() const { return entries_; }

  private:
    enum class State : uint8_t {
        Closed,
        ReadWrite,  // an existing file that may be replaced
        ReadOnly,   // an existing file that is only read
        Missing,    // no such file: close creates it
        Unusable,   // there but not readable, not a regular file or too large: never written
    };

    const SettingsEntry* find(std::string_view key) const;

    std::string fileName_;
    std::vector<SettingsEntry> entries_;
    State state_ = State::Closed;
    bool modified_ = false;
    bool utf8_ = false;
    bool toldTooLarge_ = false;
};

// Signed decimal, "$" hexadecimal or "%" binary, after optional blanks and sign;
// stops at the first foreign character. Overflow wraps modulo 2^32.
int32_t toNumber(std::string_view text);
std::string toText(int32_t number);

}  // namespace glowtern
