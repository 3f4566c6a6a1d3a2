// The OS services on Windows, on the Win32 API and the C runtime.
#include "platform/platform.h"

#include <windows.h>
#include <oleauto.h>
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace platform {

namespace {

HANDLE toHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t fromHandle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// WriteFile takes at most a DWORD per call and may in principle write less
// than it was given; loop until everything is written.
bool writeAll(HANDLE file, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    p += written;
    size -= written;
  }
  return true;
}

}  // namespace

DWORD lastError() { return GetLastError(); }

void setLastError(DWORD code) { SetLastError(code); }

bool errorText(DWORD code, std::string& text) {
  text.clear();
  LPSTR buffer = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                                nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) {
    if (buffer) LocalFree(buffer);
    return false;
  }
  text.assign(buffer, length);
  LocalFree(buffer);
  return true;
}

bool getEnv(const char* name, std::string& value) {
  const char* v = getenv(name);
  if (!v) return false;
  value = v;
  return true;
}

int processId() { return _getpid(); }

std::string localTimeText() {
  time_t now = time(nullptr);
  const struct tm* local = localtime(&now);
  if (!local) return std::string();
  char buffer[200];
  size_t n = strftime(buffer, sizeof buffer, "%c", local);
  return std::string(buffer, n);
}

const char* pathSeparator() { return "\\"; }

bool appendToPrivateFile(const std::string& path, const std::string& bytes) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end,
  // also when other processes append to the same file. The reparse-point flag
  // opens a symbolic link itself, which is then refused rather than followed.
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) {
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return false;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    CloseHandle(file);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  bool ok = writeAll(file, bytes.data(), bytes.size());
  DWORD error = GetLastError();
  if (!CloseHandle(file) && ok) return false;
  if (!ok) SetLastError(error);
  return ok;
}

bool createUniqueFile(const std::string& dir, const std::string& prefix, const std::string& extension,
                      std::string& path) {
  // GetTempFileNameA with 0 picks the unique number and creates the file
  // (CREATE_NEW), so the name is ours once it returns: dir\<prefix>XXXX.tmp,
  // the Windows form of a temporary file (the extension asked for is what
  // other systems end the name with). It fails when dir is missing or not
  // writable, and when the folder holds all 65535 names of the prefix.
  (void)extension;
  char buffer[MAX_PATH + 1] = {0};
  if (GetTempFileNameA(dir.c_str(), prefix.c_str(), 0, buffer) == 0) return false;
  path = buffer;
  return true;
}

bool deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

OutputFile::OutputFile() : m_handle(fromHandle(INVALID_HANDLE_VALUE)), m_created(false) {}

OutputFile::~OutputFile() {
  if (isOpen()) CloseHandle(toHandle(m_handle));
}

bool OutputFile::open(const std::string& path) {
  if (isOpen()) {
    CloseHandle(toHandle(m_handle));
    m_handle = fromHandle(INVALID_HANDLE_VALUE);
  }
  m_created = false;
  // Other readers may open the file while it is written. The reparse-point
  // flag opens a symbolic link (or junction) at the path itself, which is
  // then refused rather than followed; a new file takes the folder's
  // inherited access, as every file the user makes there.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    m_handle = fromHandle(file);
    m_created = true;
    return true;
  }
  DWORD error = GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  file = CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  error = ERROR_SUCCESS;
  if (!GetFileInformationByHandle(file, &info))
    error = GetLastError();
  else if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
    error = ERROR_CANT_ACCESS_FILE;
  else if (!SetEndOfFile(file))
    error = GetLastError();
  if (error != ERROR_SUCCESS) {
    CloseHandle(file);
    SetLastError(error);
    return false;
  }
  m_handle = fromHandle(file);
  return true;
}

bool OutputFile::write(const void* data, ULONG size) {
  if (!isOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return writeAll(toHandle(m_handle), data, size);
}

bool OutputFile::close() {
  if (!isOpen()) return true;
  HANDLE file = toHandle(m_handle);
  m_handle = fromHandle(INVALID_HANDLE_VALUE);
  return CloseHandle(file) != FALSE;
}

bool OutputFile::isOpen() const { return toHandle(m_handle) != INVALID_HANDLE_VALUE; }

// Windows reads ahead on its own: no buffer of ours.
InputFile::InputFile() : m_handle(fromHandle(INVALID_HANDLE_VALUE)), m_buffer(nullptr), m_bufferFill(0), m_bufferPos(0) {}

InputFile::~InputFile() { close(); }

bool InputFile::open(const std::string& path) {
  close();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  m_handle = fromHandle(file);
  return true;
}

bool InputFile::read(void* data, ULONG size, ULONG& got) {
  got = 0;
  if (!isOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD n = 0;
  if (!ReadFile(toHandle(m_handle), data, size, &n, nullptr)) return false;
  got = n;
  return true;
}

bool InputFile::seekToStart() {
  if (!isOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return SetFilePointer(toHandle(m_handle), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

void InputFile::close() {
  if (isOpen()) CloseHandle(toHandle(m_handle));
  m_handle = fromHandle(INVALID_HANDLE_VALUE);
}

bool InputFile::isOpen() const { return toHandle(m_handle) != INVALID_HANDLE_VALUE; }

FILETIME systemTimeAsFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ft;
}

bool fileTimeToAutomationDate(const FILETIME& ft, double& date) {
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&ft, &st)) return false;
  DATE value = 0;
  if (!SystemTimeToVariantTime(&st, &value)) return false;
  date = value;
  return true;
}

bool automationDateToText(double date, std::string& text) {
  BSTR bstr = nullptr;
  if (FAILED(VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &bstr))) return false;
  text.clear();
  int wideLength = static_cast<int>(SysStringLen(bstr));
  bool ok = true;
  if (wideLength > 0) {
    int length = WideCharToMultiByte(CP_ACP, 0, bstr, wideLength, nullptr, 0, nullptr, nullptr);
    if (length > 0) {
      text.resize(static_cast<size_t>(length));
      length = WideCharToMultiByte(CP_ACP, 0, bstr, wideLength, &text[0], length, nullptr, nullptr);
    }
    if (length <= 0) {
      text.clear();
      ok = false;
    }
  }
  SysFreeString(bstr);
  return ok;
}

std::wstring toWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int size = static_cast<int>(text.size());
  int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, &wide[0], length);
  return wide;
}

bool isDBCSLeadByte(BYTE byte) { return IsDBCSLeadByte(byte) != FALSE; }

int compareNoCase(const char* a, const char* b) { return _strcmpi(a, b); }

}  // namespace platform
