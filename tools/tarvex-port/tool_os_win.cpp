// Win32 side of tarvex-port's own needs (tool_os.h): the registry's list of serial ports, the
// reason a port did not open, and writing Tarvex.cfg.
#include "tool_os.h"

#include <windows.h>

namespace {

const wchar_t CONFIG_FILE_NAME[] = L"Tarvex.cfg"; // in the working folder, where Tarvex reads it

std::string Utf8(const wchar_t* text, int length) {
    if (length <= 0)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
    return out;
}

// A registry string's characters: its data need not end with a NUL, and may end with several.
int StringLength(const wchar_t* data, DWORD bytes) {
    int n = static_cast<int>(bytes / sizeof(wchar_t));
    while (n > 0 && data[n - 1] == 0)
        n--;
    return n;
}

} // namespace

PortMapRead ToolReadSerialPortMap(std::vector<SerialPortEntry>* ports, unsigned long* error) {
    ports->clear();
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                   KEY_QUERY_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return PortMapRead::NoMap;
    if (status != ERROR_SUCCESS) {
        *error = static_cast<unsigned long>(status);
        return PortMapRead::Failed;
    }
    DWORD values = 0, longestName = 0, longestData = 0;
    status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                              &longestName, &longestData, nullptr, nullptr);
    // A driver may enter a port between the two calls: room for a longer one than was there.
    std::wstring name(longestName + 64, L'\0');
    std::wstring data(longestData / sizeof(wchar_t) + 64, L'\0');
    for (DWORD i = 0; status == ERROR_SUCCESS; i++) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD type = 0;
        status = RegEnumValueW(key, i, &name[0], &nameChars, nullptr, &type,
                               reinterpret_cast<BYTE*>(&data[0]), &dataBytes);
        if (status == ERROR_SUCCESS && type == REG_SZ)
            ports->push_back({Utf8(data.data(), StringLength(data.data(), dataBytes)),
                              Utf8(name.data(), static_cast<int>(nameChars))});
    }
    RegCloseKey(key);
    if (status != ERROR_NO_MORE_ITEMS) {
        *error = static_cast<unsigned long>(status);
        return PortMapRead::Failed;
    }
    return PortMapRead::Read;
}

OpenFailure ToolLastOpenFailure(unsigned long* error) {
    *error = GetLastError();
    switch (*error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return OpenFailure::NoSuchPort;
    // Windows gives a COM port to one handle at a time and refuses a second open with access
    // denied; a sharing violation is how a file, or a port opened as one, says the same.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return OpenFailure::InUse;
    default:
        return OpenFailure::Other;
    }
}

int ToolConfigFileExists() { return GetFileAttributesW(CONFIG_FILE_NAME) != INVALID_FILE_ATTRIBUTES; }

int ToolWriteConfigFile(const std::string& bytes, unsigned long* error) {
    HANDLE file = CreateFileW(CONFIG_FILE_NAME, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return 0;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr);
    *error = ok ? ERROR_SUCCESS : GetLastError();
    const BOOL closed = CloseHandle(file);
    if (ok && !closed)
        *error = GetLastError();
    return ok && closed && written == bytes.size();
}
