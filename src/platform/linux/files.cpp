// Files on Linux: a rules file read whole, its changes noticed by stat, and
// whether a root hold may trust it.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/linux/backend.h"

namespace plat {

namespace {

// A file handle points at one of these; a process handle never does, as it
// is an encoded ID (see EncodeHandle).
struct OpenFile {
    int fd;
};
OpenFile openFiles[4] = {{-1}, {-1}, {-1}, {-1}};

FILETIME Time(std::uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

std::uint64_t Nanoseconds(const struct timespec& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(time.tv_nsec);
}

void FillAttributes(const struct stat& info, WIN32_FILE_ATTRIBUTE_DATA* data) {
    data->dwFileAttributes =
        S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    data->ftCreationTime = Time(Nanoseconds(info.st_ctim));
    data->ftLastAccessTime = Time(static_cast<std::uint64_t>(info.st_ino));
    data->ftLastWriteTime = Time(Nanoseconds(info.st_mtim));
    data->nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(info.st_size) >> 32);
    data->nFileSizeLow = static_cast<DWORD>(info.st_size);
}

// Only root may write a folder that others can write only with the sticky
// bit (which keeps them from renaming root's files in it).
int FolderTrusted(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) return 0;
    if (info.st_uid != 0) return 0;
    return !(info.st_mode & (S_IWGRP | S_IWOTH)) || (info.st_mode & S_ISVTX);
}

// Every folder that holds path, from its parent up to "/".
int FoldersTrusted(const char* path) {
    char folder[PATH_MAX];
    std::size_t length = std::strlen(path);
    if (length >= sizeof folder) return 0;
    std::memcpy(folder, path, length + 1);
    for (;;) {
        while (length > 1 && folder[length - 1] == '/')
            --length;
        while (length > 0 && folder[length - 1] != '/')
            --length;
        if (length == 0) return FolderTrusted(".");
        folder[length > 1 ? length - 1 : 1] = '\0';
        if (!FolderTrusted(folder)) return 0;
        if (length == 1) return 1;
        --length;
    }
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) {
    OpenFile* slot = nullptr;
    for (OpenFile& file : openFiles) {
        if (file.fd < 0) slot = &file;
    }
    if (!slot) return INVALID_HANDLE_VALUE;
    const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info;
    if (fd < 0) return INVALID_HANDLE_VALUE;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    slot->fd = fd;
    return slot;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void*) {
    *read = 0;
    if (!linux_backend::CloseFile(file, 0)) return FALSE;
    const int fd = static_cast<OpenFile*>(file)->fd;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, toRead);
        if (got >= 0) {
            *read = static_cast<DWORD>(got);
            return TRUE;
        }
        if (errno != EINTR) return FALSE;
    }
}

BOOL GetFileAttributesExA(const char* name, int infoLevel, void* info) {
    struct stat status;
    if (infoLevel != GetFileExInfoStandard || stat(name, &status) != 0) return FALSE;
    FillAttributes(status, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info));
    return TRUE;
}

HANDLE FindFirstFileA(const char* name, WIN32_FIND_DATAA* data) {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(name, GetFileExInfoStandard, &attributes))
        return INVALID_HANDLE_VALUE;
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = attributes.dwFileAttributes;
    data->ftCreationTime = attributes.ftCreationTime;
    data->ftLastAccessTime = attributes.ftLastAccessTime;
    data->ftLastWriteTime = attributes.ftLastWriteTime;
    data->nFileSizeHigh = attributes.nFileSizeHigh;
    data->nFileSizeLow = attributes.nFileSizeLow;
    const char* base = std::strrchr(name, '/');
    std::strncpy(data->cFileName, base ? base + 1 : name, sizeof data->cFileName - 1);
    // No search is left open: the handle only has to be told from a failure.
    return reinterpret_cast<HANDLE>(data);
}

BOOL FindClose(HANDLE find) { return find && find != INVALID_HANDLE_VALUE ? TRUE : FALSE; }

// The file as given and the file it finally names are both checked: a link
// in a folder that a user may write could be pointed elsewhere.
BOOL RulesFileTrusted(const char* name) {
    if (geteuid() != 0) return TRUE;
    struct stat info;
    char real[PATH_MAX];
    if (stat(name, &info) != 0 || !realpath(name, real)) return FALSE;
    if (info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH))) return FALSE;
    return FoldersTrusted(name) && FoldersTrusted(real) ? TRUE : FALSE;
}

namespace linux_backend {

int CloseFile(HANDLE handle, int close) {
    for (OpenFile& file : openFiles) {
        if (handle != &file || file.fd < 0) continue;
        if (close) {
            ::close(file.fd);
            file.fd = -1;
        }
        return 1;
    }
    return 0;
}

}  // namespace linux_backend

}  // namespace plat
