// The serial, event and wait calls the link code is written against, with the meaning the link expects
// of them, implemented on POSIX (termios, poll, eventfd). Our own declarations and types.
#pragma once

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LPCSTR = const char*;
using LPVOID = void*;
using LPDWORD = DWORD*;

// A handle names an entry of the layer's own table (an event or a port), never a file descriptor.
// Entries are not reused while the process runs, so a closed handle keeps failing with
// ERROR_INVALID_HANDLE instead of reaching another file.
using HANDLE = std::intptr_t;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Error codes (GetLastError).
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_DEVICE_REMOVED = 1617;

// CreateFileA
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Waits
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Comm events, modem status, escape functions
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;

// DCB
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE TWOSTOPBITS = 2;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
};
using LPDCB = DCB*;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

// The record of one overlapped operation. The caller owns it and keeps it alive until the operation has
// completed or been cancelled; the layer writes Internal (the operation's error code) and InternalHigh
// (the byte count) and then sets hEvent when the operation completes.
struct OVERLAPPED {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

DWORD GetLastError();
void SetLastError(DWORD code);
void Sleep(DWORD milliseconds);

// Events: always manual-reset here (bManualReset must be TRUE); lpName must be null.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Only events can be waited on; any other handle fails the wait with ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Reports the lowest signalled index (WAIT_OBJECT_0 + i), WAIT_TIMEOUT or WAIT_FAILED. bWaitAll must be
// FALSE.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL bWaitAll, DWORD milliseconds);
// Closes an event or a port. Closing a port completes its pending operations as aborted first.
BOOL CloseHandle(HANDLE handle);

// Ports. The name is a device path ("/dev/ttyUSB0"); a leading "\\.\" is stripped.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb);
BOOL GetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL SetCommMask(HANDLE port, DWORD eventMask);
BOOL EscapeCommFunction(HANDLE port, DWORD function);
BOOL GetCommModemStatus(HANDLE port, LPDWORD modemStatus);
// With a record, a line watch, read or write of at least one byte always goes pending (FALSE with
// ERROR_IO_PENDING); it starts by resetting the record's event. One watch at a time per port; reads
// and writes queue in order. After the device has gone (its other end closed), reads and writes fail
// at once with ERROR_DEVICE_REMOVED, and a watch stays pending. Without a record the call blocks.
BOOL WaitCommEvent(HANDLE port, LPDWORD eventMask, LPOVERLAPPED overlapped);
BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);
BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE port, const void* buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE port, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL bWait);
// Completes every pending operation of the port that the calling thread started as aborted; when it
// returns, nothing writes into those operations' buffers or records any more.
BOOL CancelIo(HANDLE port);
// Cancels the one pending operation that uses `overlapped` (all of the port's, when null), with the same
// guarantee as CancelIo.
BOOL CancelIoEx(HANDLE port, LPOVERLAPPED overlapped);
