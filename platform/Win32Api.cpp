// The handle table, the last-error slot and the errno translation shared by events and ports.
#include "platform/Win32Api.h"
#include "platform/Win32Internal.h"

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace Win32Internal {
namespace {

struct HandleTable {
    std::mutex Lock;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> Objects;
    // Handles count up from a value far above any file descriptor number and are never given twice,
    // so a stale handle can only ever fail.
    HANDLE Next = 0x10000;
};

// Never destroyed: ports still open at exit keep their service threads, which use the table to the end.
HandleTable& Table() {
    static HandleTable* const table = new HandleTable;
    return *table;
}

} // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard lock(table.Lock);
    const HANDLE handle = table.Next;
    table.Next += 4;
    table.Objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.Lock);
    const auto it = table.Objects.find(handle);
    return it == table.Objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.Lock);
    const auto it = table.Objects.find(handle);
    if (it == table.Objects.end()) {
        return nullptr;
    }
    auto object = std::move(it->second);
    table.Objects.erase(it);
    return object;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK: // also EAGAIN: a lock held by someone else
        return ERROR_SHARING_VIOLATION;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ERANGE:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case EOPNOTSUPP:
    case ENOSYS:
        return ERROR_NOT_SUPPORTED;
    case ENXIO:
    case ENODEV:
    case EIO:
    case EPIPE:
        return ERROR_DEVICE_REMOVED;
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL FailWithErrno(int error) {
    SetLastError(ErrorFromErrno(error));
    return FALSE;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

} // namespace Win32Internal

namespace {
thread_local DWORD LastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return LastError;
}

void SetLastError(DWORD code) {
    LastError = code;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL CloseHandle(HANDLE handle) {
    auto object = Win32Internal::RemoveHandle(handle);
    if (!object) {
        return Win32Internal::Fail(ERROR_INVALID_HANDLE);
    }
    object->Close();
    return TRUE;
}
