/*
 * A stand-in for the 64-bit port-I/O library that Glowtern for Windows maps from memory
 * (portio64.dll). It exports the library's 13 names; the writes go to a log instead of a port.
 *
 * With GLOWTERN_FAKE_PORT_LOG naming a file, every call of PortOut on the data register (0x378)
 * or the control register (0x37A) appends one line to it: "DATA 0x02", "CONTROL 0x0b"; other
 * ports give "PORT 0x0379 0x55". The library's attach and detach add "ATTACH" and "DETACH".
 * IsDriverInstalled answers 1, or 0 when GLOWTERN_FAKE_PORT_DRIVER is "0". The other exports
 * do nothing and read 0.
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

static char* hex(char* at, unsigned value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    *at++ = '0';
    *at++ = 'x';
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        *at++ = kDigits[(value >> shift) & 0xF];
    }
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
    char* at = line;
    if (port == 0x378) {
        at = hex(text(at, "DATA "), value, 2);
    } else if (port == 0x37A) {
        at = hex(text(at, "CONTROL "), value, 2);
    } else {
        at = hex(text(hex(text(at, "PORT "), port, 4), " "), value, 2);
    }
    at = text(at, "\r\n");
    *at = '\0';
    logLine(line);
}

EXPORT int IsDriverInstalled(void) {
    char answer[4];
    const DWORD length = GetEnvironmentVariableA("GLOWTERN_FAKE_PORT_DRIVER", answer, 4);
    return length == 1 && answer[0] == '0' ? 0 : 1;
}

EXPORT void PortWordOut(unsigned short port, unsigned short value) {
    (void)port;
    (void)value;
}
EXPORT void PortDWordOut(unsigned short port, unsigned long value) {
    (void)port;
    (void)value;
}
EXPORT unsigned char PortIn(unsigned short port) {
    (void)port;
    return 0;
}
EXPORT unsigned short PortWordIn(unsigned short port) {
    (void)port;
    return 0;
}
EXPORT unsigned long PortDWordIn(unsigned short port) {
    (void)port;
    return 0;
}
EXPORT void SetPortBit(unsigned short port, unsigned char bit) {
    (void)port;
    (void)bit;
}
EXPORT void ClrPortBit(unsigned short port, unsigned char bit) {
    (void)port;
    (void)bit;
}
EXPORT void NotPortBit(unsigned short port, unsigned char bit) {
    (void)port;
    (void)bit;
}
EXPORT int GetPortBit(unsigned short port, unsigned char bit) {
    (void)port;
    (void)bit;
    return 0;
}
EXPORT int RightPortShift(unsigned short port, int value) {
    (void)port;
    (void)value;
    return 0;
}
EXPORT int LeftPortShift(unsigned short port, int value) {
    (void)port;
    (void)value;
    return 0;
}
