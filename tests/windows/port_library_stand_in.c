/*
 * A stand-in for the 64-bit port-I/O library that Glowtern for Windows maps from memory
 * (portio64.dll). It exports the library's 13 names; the writes go to a log instead of a port.
 *
 * With GLOWTERN_FAKE_PORT_LOG naming a file, every call of PortOut on the data register (0x378)
 * or the control register (0x37A) appends one line to it: "DATA 0x02", "CONTROL 0x0b" (any
 * other port: "OTHER PORT 0x.."). The library's attach and detach add "ATTACH" and "DETACH".
 * IsDriverInstalled answers 1. The other exports, which Glowtern only looks up, do nothing and
 * read 0.
 *
 * Built without the C runtime (-nostdlib, entry DllMain): it imports from kernel32.dll only,
 * which the program's loader binds through the system's loader.
 */
#include <windows.h>

#define EXPORT __declspec(dllexport)

static char logPath[MAX_PATH];

static void logLine(const char* text) {
    if (logPath[0] == '\0') {
        return;
    }
    HANDLE file = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    DWORD written = 0;
    WriteFile(file, text, length, &written, NULL);
    CloseHandle(file);
}

static char* hex(char* at, unsigned char value) {
    static const char kDigits[] = "0123456789abcdef";
    *at++ = '0';
    *at++ = 'x';
    *at++ = kDigits[value >> 4];
    *at++ = kDigits[value & 0xF];
    return at;
}

static char* text(char* at, const char* words) {
    while (*words != '\0') {
        *at++ = *words++;
    }
    return at;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        const DWORD length = GetEnvironmentVariableA("GLOWTERN_FAKE_PORT_LOG", logPath, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            logPath[0] = '\0';
        }
        logLine("ATTACH\r\n");
    } else if (reason == DLL_PROCESS_DETACH) {
        logLine("DETACH\r\n");
    }
    return TRUE;
}

EXPORT void PortOut(unsigned short port, unsigned char value) {
    char line[40];
    const char* kind = port == 0x378 ? "DATA " : port == 0x37A ? "CONTROL " : "OTHER PORT ";
    char* at = hex(text(line, kind), value);
    *text(at, "\r\n") = '\0';
    logLine(line);
}

EXPORT int IsDriverInstalled(void) {
    return 1;
}

#define UNUSED_EXPORT(name) \
    EXPORT int name(void) { \
        return 0;           \
    }
UNUSED_EXPORT(PortWordOut)
UNUSED_EXPORT(PortDWordOut)
UNUSED_EXPORT(PortIn)
UNUSED_EXPORT(PortWordIn)
UNUSED_EXPORT(PortDWordIn)
UNUSED_EXPORT(SetPortBit)
UNUSED_EXPORT(ClrPortBit)
UNUSED_EXPORT(NotPortBit)
UNUSED_EXPORT(GetPortBit)
UNUSED_EXPORT(RightPortShift)
UNUSED_EXPORT(LeftPortShift)
